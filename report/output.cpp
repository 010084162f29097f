// The report as a table for people and as JSON for scripts, both UTF-8.
//
// JSON fields (every one always present):
//   bits                  32 or 64: the programs whose compressors these are
//   probe                 width, height, bit_count, compression ("BI_RGB")
//   compressors[]         in enumeration order:
//     index, code, driver, description
//     outcome             "answered", "faulted" or "hung"
//     problem             what it did instead of answering, or null
//     opens               opens for compression (false when it did not answer)
//     accepts_probe       accepts the probe format as input
//     proposed            null, or { compression, bit_count } it would compress it to
//     configure, about    offers a Configure or About dialog
//   answered, faulted_or_hung   how many of each

#include "platform/platform.h"
#include "probe/probe.h"
#include "report/report.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace selnary::report {
namespace {

// Width on screen of UTF-8 text: one column a character.
std::size_t columns(const std::string& text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string json_string(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

const char* json_bool(bool value)
{
    return value ? "true" : "false";
}

const char* outcome_name(Row::Outcome outcome)
{
    switch (outcome) {
    case Row::Outcome::faulted:
        return "faulted";
    case Row::Outcome::hung:
        return "hung";
    default:
        return "answered";
    }
}

BITMAPINFOHEADER probe_format()
{
    BITMAPINFOHEADER probe;
    fill_probe_format(probe);
    return probe;
}

std::size_t count_answered(const Report& report)
{
    return static_cast<std::size_t>(
        std::count_if(report.rows.begin(), report.rows.end(),
                      [](const Row& row) { return row.outcome == Row::Outcome::answered; }));
}

}  // namespace

void write_out(const std::string& text)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
}

std::string compression_text(unsigned long code)
{
    switch (code) {
    case BI_RGB:
        return "BI_RGB";
    case BI_RLE8:
        return "BI_RLE8";
    case BI_RLE4:
        return "BI_RLE4";
    case BI_BITFIELDS:
        return "BI_BITFIELDS";
    default:
        break;
    }
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((code >> shift) & 0xFF);
        if (c < 0x20 || c >= 0x7F) {
            char number[16];
            std::snprintf(number, sizeof number, "0x%08lx", code);
            return number;
        }
        text += c;
    }
    return text;
}

void print_table(const Report& report)
{
    const BITMAPINFOHEADER probe = probe_format();
    std::vector<std::vector<std::string>> cells = {{"code", "description", "driver", "opens",
                                                    "takes the probe", "proposes", "configure",
                                                    "about", ""}};
    const auto yes = [](bool value) { return std::string(value ? "yes" : "no"); };
    for (const Row& row : report.rows) {
        if (row.outcome != Row::Outcome::answered) {
            cells.push_back({row.code, row.description.empty() ? "?" : row.description, row.driver,
                             "-", "-", "-", "-", "-", row.problem});
            continue;
        }
        const std::string proposes = row.proposes
            ? row.proposed_compression + ", " + std::to_string(row.proposed_bits) + "-bit"
            : "-";
        cells.push_back({row.code, row.description, row.driver, yes(row.opens),
                         row.opens ? yes(row.accepts) : "-", proposes,
                         row.opens ? yes(row.configure) : "-", row.opens ? yes(row.about) : "-",
                         ""});
    }
    std::vector<std::size_t> widths(cells[0].size(), 0);
    for (const auto& line : cells)
        for (std::size_t i = 0; i + 1 < line.size(); ++i)
            widths[i] = std::max(widths[i], columns(line[i]));

    write_out("Video compressors installed for " + std::to_string(report.bits) +
              "-bit programs, asked about the probe format: " + std::to_string(probe.biWidth) +
              " x " + std::to_string(probe.biHeight) + ", " + std::to_string(probe.biBitCount) +
              "-bit " + compression_text(probe.biCompression) + "\n\n");
    for (const auto& line : cells) {
        std::string text;
        for (std::size_t i = 0; i < line.size(); ++i) {
            text += line[i];
            if (i + 1 < line.size())
                text += std::string(widths[i] - columns(line[i]) + 2, ' ');
        }
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        write_out(text + "\n");
    }
    const std::size_t takes = static_cast<std::size_t>(std::count_if(
        report.rows.begin(), report.rows.end(), [](const Row& row) { return row.accepts; }));
    std::string summary = "\n";
    summary += std::to_string(report.rows.size()) + " installed, " + std::to_string(takes) +
        " take the probe format, " + std::to_string(report.rows.size() - count_answered(report)) +
        " faulted or hung\n";
    write_out(summary);
}

void print_json(const Report& report)
{
    const BITMAPINFOHEADER probe = probe_format();
    std::string out = "{\n  \"bits\": " + std::to_string(report.bits) + ",\n";
    out += "  \"probe\": {\"width\": " + std::to_string(probe.biWidth) +
        ", \"height\": " + std::to_string(probe.biHeight) +
        ", \"bit_count\": " + std::to_string(probe.biBitCount) +
        ", \"compression\": " + json_string(compression_text(probe.biCompression)) + "},\n";
    out += "  \"compressors\": [";
    for (std::size_t i = 0; i < report.rows.size(); ++i) {
        const Row& row = report.rows[i];
        out += i ? ",\n    {" : "\n    {";
        out += "\"index\": " + std::to_string(row.index) + ", \"code\": " + json_string(row.code) +
            ", \"driver\": " + json_string(row.driver) +
            ", \"description\": " + json_string(row.description) + ", \"outcome\": \"" +
            outcome_name(row.outcome) +
            "\", \"problem\": " + (row.problem.empty() ? "null" : json_string(row.problem)) +
            ", \"opens\": " + json_bool(row.opens) +
            ", \"accepts_probe\": " + json_bool(row.accepts) + ", \"proposed\": " +
            (row.proposes ? "{\"compression\": " + json_string(row.proposed_compression) +
                     ", \"bit_count\": " + std::to_string(row.proposed_bits) + "}"
                          : std::string("null")) +
            ", \"configure\": " + json_bool(row.configure) +
            ", \"about\": " + json_bool(row.about) + "}";
    }
    const std::size_t answered = count_answered(report);
    out += report.rows.empty() ? "],\n" : "\n  ],\n";
    out += "  \"answered\": " + std::to_string(answered) +
        ",\n  \"faulted_or_hung\": " + std::to_string(report.rows.size() - answered) + "\n}\n";
    write_out(out);
}

}  // namespace selnary::report
