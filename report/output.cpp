// The report as a table for people and as JSON for scripts, both UTF-8.
//
// JSON fields (every one always present; null where it does not apply):
//   bits                  32 or 64: the programs whose compressors these are
//   probe                 width, height, bit_count, compression ("BI_RGB")
//   compressors[]         in enumeration order:
//     index, code, driver, description
//     outcome             "answered", "faulted" or "hung"
//     problem             what it did instead of answering, or null
//     step                the step it faulted or hung at ("open", "query", "compress", ...), or
//     null opens               opens for compression (false when it did not answer) accepts_probe
//     accepts the probe format as input query_result        null, or {value, name}: what
//     ICCompressQuery answered
//                         (name null for a value with no ICERR_ name)
//     proposed            null, or { compression, bit_count } it would compress it to
//     configure, about    offers a Configure or About dialog
//     reason              null, or {code, text}: why the row's first "no", or why
//                         its round trip failed. Codes: driver_not_found,
//                         not_a_dll, wrong_bitness, missing_dll,
//                         no_driverproc, refused_open, rejects_probe, no_format,
//                         absurd_size, compress_failed, no_decompressor,
//                         decompress_failed, faulted, hung, ended_process
//     driver_path         where the driver file was found when it was looked for, or null
//     missing_dll         the first DLL it needs that is not found, or null
//     round_trip          null where it was not tried (it does not take the
//                         probe or proposes no format), else:
//       worked            compressed and decompressed; false: see reason
//       decompressor      the code of the handler that decompressed it
//       output_bit_count  32, or 24 where that was all it gave back
//       compressed_bytes, ratio   size of the key frame, and 262144 / that
//       exact             every colour byte came back (the fourth byte is unused)
//       psnr_db           when not exact, over blue, green and red
//       looks             when not exact: "upside down", "with red and blue swapped" or null
//       ms_per_frame      compressing one frame, the best of three
//   other_bitness[]       compressors registered only in the other registry
//                         view, never loaded: code, driver, bits, reason
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

constexpr std::size_t kTableWidth = 100;
constexpr std::size_t kIndent = 6;  // a detail line starts under the description
constexpr long long kFrameBytes = 256 * 256 * 4;

// Width on screen of UTF-8 text: one column a character.
std::size_t columns(const std::string& text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// TEXT cut to WIDTH columns, a "~" marking the cut.
std::string fit(const std::string& text, std::size_t width)
{
    if (columns(text) <= width)
        return text;
    std::string out;
    std::size_t used = 0;
    for (const char c : text) {
        const bool starts = (c & 0xC0) != 0x80;
        if (starts && ++used > width - 1)
            break;
        out += c;
    }
    return out + "~";
}

// TEXT broken at spaces into lines of WIDTH columns at most.
std::vector<std::string> wrap(const std::string& text, std::size_t width)
{
    std::vector<std::string> lines(1);
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string word = text.substr(start, end - start);
        if (!lines.back().empty() && columns(lines.back()) + 1 + columns(word) > width)
            lines.emplace_back();
        lines.back() += (lines.back().empty() ? "" : " ") + word;
        start = end + 1;
    }
    return lines;
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

std::string json_or_null(const std::string& text)
{
    return text.empty() ? "null" : json_string(text);
}

const char* json_bool(bool value)
{
    return value ? "true" : "false";
}

std::string number(double value, const char* format)
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
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

// The ICERR_ name of VALUE, or null.
const char* icerr_name(long long value)
{
    static const struct {
        long long value;
        const char* name;
    } names[] = {
        {ICERR_OK, "ICERR_OK"},
        {ICERR_DONTDRAW, "ICERR_DONTDRAW"},
        {ICERR_NEWPALETTE, "ICERR_NEWPALETTE"},
        {ICERR_GOTOKEYFRAME, "ICERR_GOTOKEYFRAME"},
        {ICERR_STOPDRAWING, "ICERR_STOPDRAWING"},
        {ICERR_UNSUPPORTED, "ICERR_UNSUPPORTED"},
        {ICERR_BADFORMAT, "ICERR_BADFORMAT"},
        {ICERR_MEMORY, "ICERR_MEMORY"},
        {ICERR_INTERNAL, "ICERR_INTERNAL"},
        {ICERR_BADFLAGS, "ICERR_BADFLAGS"},
        {ICERR_BADPARAM, "ICERR_BADPARAM"},
        {ICERR_BADSIZE, "ICERR_BADSIZE"},
        {ICERR_BADHANDLE, "ICERR_BADHANDLE"},
        {ICERR_CANTUPDATE, "ICERR_CANTUPDATE"},
        {ICERR_ABORT, "ICERR_ABORT"},
        {ICERR_ERROR, "ICERR_ERROR"},
        {ICERR_BADBITDEPTH, "ICERR_BADBITDEPTH"},
        {ICERR_BADIMAGESIZE, "ICERR_BADIMAGESIZE"},
        {ICERR_CUSTOM, "ICERR_CUSTOM"},
    };
    for (const auto& known : names)
        if (known.value == value)
            return known.name;
    return nullptr;
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

void write_to(DWORD which, const std::string& text)
{
    const HANDLE handle = GetStdHandle(which);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(handle, &mode)) {
        // A console shows characters, whatever its code page.
        const std::wstring characters = wide(text);
        WriteConsoleW(handle, characters.data(), static_cast<DWORD>(characters.size()), &written,
                      nullptr);
        return;
    }
    WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// How many times smaller the compressed frame is than the probe frame.
double ratio(const RoundTrip& trip)
{
    return static_cast<double>(kFrameBytes) / static_cast<double>(trip.compressed_bytes);
}

// What a round trip that worked showed, for the table.
std::string round_trip_text(const RoundTrip& trip)
{
    std::string text = "round trip: " + std::to_string(kFrameBytes) + " -> " +
        std::to_string(trip.compressed_bytes) + " bytes (" + number(ratio(trip), "%.2f") + ":1), ";
    if (trip.exact)
        text += "exact";
    else if (!trip.looks.empty())
        text += "comes back " + trip.looks + " (" + number(trip.psnr_db, "%.1f") + " dB)";
    else
        text += "lossy, " + number(trip.psnr_db, "%.1f") + " dB PSNR";
    return text + ", " + number(trip.ms_per_frame, "%.2f") + " ms a frame; decompressed by " +
        trip.decompressor + " to " + std::to_string(trip.output_bits) + "-bit RGB";
}

std::string round_trip_cell(const Row& row)
{
    const RoundTrip& trip = row.round_trip;
    if (!trip.tried)
        return "-";
    if (!trip.worked)
        return "failed";
    return trip.exact ? "exact" : number(trip.psnr_db, "%.1f") + " dB";
}

// One line of a table: each cell fitted to its column, two spaces apart.
void write_cells(const std::vector<std::string>& line, const std::vector<std::size_t>& widths)
{
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const std::string cell = fit(line[i], widths[i]);
        text += cell;
        if (i + 1 < line.size())
            text += std::string(widths[i] - columns(cell) + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    write_out(text + "\n");
}

// Column widths for CELLS, the description and driver columns narrowed
// until a line fits the table's width.
std::vector<std::size_t> widths_for(const std::vector<std::vector<std::string>>& cells)
{
    std::vector<std::size_t> widths(cells[0].size(), 0);
    for (const auto& line : cells)
        for (std::size_t i = 0; i < line.size(); ++i)
            widths[i] = std::max(widths[i], columns(line[i]));
    const auto total = [&widths] {
        std::size_t sum = 2 * (widths.size() - 1);
        for (const std::size_t width : widths)
            sum += width;
        return sum;
    };
    while (total() > kTableWidth && (widths[1] > 12 || widths[2] > 12))
        --widths[widths[1] >= widths[2] ? 1 : 2];
    return widths;
}

}  // namespace

std::string utf8(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
    return bytes;
}

std::wstring wide(const std::string& utf8)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                         nullptr, 0);
    std::wstring characters(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), characters.data(),
                        size);
    return characters;
}

std::string lower_ascii(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    return text;
}

void write_out(const std::string& text)
{
    write_to(STD_OUTPUT_HANDLE, text);
}

void write_error(const std::string& text)
{
    write_to(STD_ERROR_HANDLE, text);
}

std::string icerr_text(long long value)
{
    const char* name = icerr_name(value);
    return name ? std::string(name) + " (" + std::to_string(value) + ")" : std::to_string(value);
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
    std::vector<std::vector<std::string>> cells = {
        {"code", "description", "driver", "opens", "takes probe", "proposes", "round trip"}};
    std::vector<std::string> details = {""};
    const auto yes = [](bool value) { return std::string(value ? "yes" : "no"); };
    for (const Row& row : report.rows) {
        if (row.outcome != Row::Outcome::answered) {
            cells.push_back({row.code, row.description.empty() ? "?" : row.description, row.driver,
                             "-", "-", "-", "-"});
            details.push_back(row.problem);
            continue;
        }
        const std::string proposes = row.proposes
            ? row.proposed_compression + ", " + std::to_string(row.proposed_bits) + "-bit"
            : "-";
        cells.push_back({row.code, row.description.empty() ? "?" : row.description, row.driver,
                         yes(row.opens), row.opens ? yes(row.accepts) : "-", proposes,
                         round_trip_cell(row)});
        details.push_back(!row.reason.code.empty()    ? row.reason.text
                              : row.round_trip.worked ? round_trip_text(row.round_trip)
                                                      : "");
    }
    const std::vector<std::size_t> widths = widths_for(cells);

    write_out("Video compressors for " + std::to_string(report.bits) +
              "-bit programs, asked about the probe format: " + std::to_string(probe.biWidth) +
              " x " + std::to_string(probe.biHeight) + ", " + std::to_string(probe.biBitCount) +
              "-bit " + compression_text(probe.biCompression) + "\n\n");
    for (std::size_t i = 0; i < cells.size(); ++i) {
        write_cells(cells[i], widths);
        if (!details[i].empty())
            for (const std::string& text : wrap(details[i], kTableWidth - kIndent))
                write_out(std::string(kIndent, ' ') + text + "\n");
    }
    const auto rows_where = [&report](auto test) {
        return std::to_string(std::count_if(report.rows.begin(), report.rows.end(), test));
    };
    write_out(
        "\n" + std::to_string(report.rows.size()) + " installed, " +
        rows_where([](const Row& row) { return row.accepts; }) + " take the probe format, " +
        rows_where([](const Row& row) { return row.round_trip.worked; }) + " give it back (" +
        rows_where([](const Row& row) { return row.round_trip.worked && row.round_trip.exact; }) +
        " exactly), " + std::to_string(report.rows.size() - count_answered(report)) +
        " faulted or hung\n");

    if (report.foreign.empty())
        return;
    const int other = report.bits == 64 ? 32 : 64;
    write_out("\nInstalled for " + std::to_string(other) +
              "-bit programs only, so not examined here:\n\n");
    std::vector<std::vector<std::string>> foreign = {{"code", "driver", ""}};
    for (const Foreign& entry : report.foreign)
        foreign.push_back({entry.code, entry.driver, entry.reason.text});
    std::vector<std::size_t> foreign_widths(3, 0);
    for (const auto& line : foreign)
        for (std::size_t i = 0; i < 2; ++i)
            foreign_widths[i] = std::max(foreign_widths[i], columns(line[i]));
    foreign_widths[1] = std::min<std::size_t>(foreign_widths[1], 24);
    foreign_widths[2] = kTableWidth;
    for (const auto& line : foreign)
        write_cells(line, foreign_widths);
}

void print_json(const Report& report)
{
    const BITMAPINFOHEADER probe = probe_format();
    std::string out = "{\n  \"bits\": " + std::to_string(report.bits) + ",\n";
    out += "  \"probe\": {\"width\": " + std::to_string(probe.biWidth) +
        ", \"height\": " + std::to_string(probe.biHeight) +
        ", \"bit_count\": " + std::to_string(probe.biBitCount) +
        ", \"compression\": " + json_string(compression_text(probe.biCompression)) + "},\n";
    const auto reason = [](const Reason& why) {
        return why.code.empty()
            ? std::string("null")
            : "{\"code\": " + json_string(why.code) + ", \"text\": " + json_string(why.text) + "}";
    };
    out += "  \"compressors\": [";
    for (std::size_t i = 0; i < report.rows.size(); ++i) {
        const Row& row = report.rows[i];
        const RoundTrip& trip = row.round_trip;
        std::string round_trip = "null";
        if (trip.tried && !trip.worked) {
            round_trip = "{\"worked\": false, \"decompressor\": null, \"output_bit_count\": null, "
                         "\"compressed_bytes\": null, \"ratio\": null, \"exact\": null, "
                         "\"psnr_db\": null, \"looks\": null, \"ms_per_frame\": null}";
        } else if (trip.worked) {
            round_trip = "{\"worked\": true, \"decompressor\": " + json_string(trip.decompressor) +
                ", \"output_bit_count\": " + std::to_string(trip.output_bits) +
                ", \"compressed_bytes\": " + std::to_string(trip.compressed_bytes) +
                ", \"ratio\": " + number(ratio(trip), "%.3f") +
                ", \"exact\": " + json_bool(trip.exact) +
                ", \"psnr_db\": " + (trip.exact ? "null" : number(trip.psnr_db, "%.2f")) +
                ", \"looks\": " + json_or_null(trip.looks) +
                ", \"ms_per_frame\": " + number(trip.ms_per_frame, "%.3f") + "}";
        }
        const char* query_name = icerr_name(row.query_result);
        out += i ? ",\n    {" : "\n    {";
        out += "\"index\": " + std::to_string(row.index) + ", \"code\": " + json_string(row.code) +
            ", \"driver\": " + json_string(row.driver) +
            ", \"description\": " + json_string(row.description) + ", \"outcome\": \"" +
            outcome_name(row.outcome) + "\", \"problem\": " + json_or_null(row.problem) +
            ", \"step\": " + json_or_null(row.step) + ", \"opens\": " + json_bool(row.opens) +
            ", \"accepts_probe\": " + json_bool(row.accepts) + ", \"query_result\": " +
            (row.queried ? "{\"value\": " + std::to_string(row.query_result) + ", \"name\": " +
                     (query_name ? json_string(query_name) : std::string("null")) + "}"
                         : std::string("null")) +
            ", \"proposed\": " +
            (row.proposes ? "{\"compression\": " + json_string(row.proposed_compression) +
                     ", \"bit_count\": " + std::to_string(row.proposed_bits) + "}"
                          : std::string("null")) +
            ", \"configure\": " + json_bool(row.configure) +
            ", \"about\": " + json_bool(row.about) + ", \"reason\": " + reason(row.reason) +
            ", \"driver_path\": " + json_or_null(row.driver_path) +
            ", \"missing_dll\": " + json_or_null(row.missing_dll) +
            ", \"round_trip\": " + round_trip + "}";
    }
    out += report.rows.empty() ? "],\n" : "\n  ],\n";
    out += "  \"other_bitness\": [";
    for (std::size_t i = 0; i < report.foreign.size(); ++i) {
        const Foreign& entry = report.foreign[i];
        out += (i ? ",\n    " : "\n    ") + std::string("{\"code\": ") + json_string(entry.code) +
            ", \"driver\": " + json_string(entry.driver) +
            ", \"bits\": " + std::to_string(entry.bits) + ", \"reason\": " + reason(entry.reason) +
            "}";
    }
    out += report.foreign.empty() ? "],\n" : "\n  ],\n";
    const std::size_t answered = count_answered(report);
    out += "  \"answered\": " + std::to_string(answered) +
        ",\n  \"faulted_or_hung\": " + std::to_string(report.rows.size() - answered) + "\n}\n";
    write_out(out);
}

}  // namespace selnary::report
