// Both ends of the child's messages, encoding beside decoding.

#include "report/protocol.h"

#include <cstdio>  // for std::snprintf
#include <cstdlib>  // for std::strtoll, std::strtod
#include <utility>
#include <vector>

namespace selnary::report::protocol {
namespace {

using Fields = std::vector<std::pair<const char*, std::string>>;

std::string escape(const std::string& value)
{
    std::string out;
    for (const char c : value) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string unescape(const std::string& value)
{
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const char c = value[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

std::string line(const char* kind, const Fields& fields)
{
    std::string out = kind;
    for (const auto& [name, value] : fields)
        out += std::string("\t") + name + "=" + escape(value);
    return out + "\n";
}

std::string flag(bool value)
{
    return value ? "1" : "0";
}

std::string real(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

}  // namespace

const std::string& Message::text(const std::string& name) const
{
    static const std::string none;
    const auto found = fields.find(name);
    return found == fields.end() ? none : found->second;
}

long long Message::number(const std::string& name) const
{
    return std::strtoll(text(name).c_str(), nullptr, 10);
}

std::string entry(int index, const std::string& code, const std::string& driver)
{
    return line("entry", {{"index", std::to_string(index)}, {"code", code}, {"driver", driver}});
}

std::string count(int count)
{
    return line("count", {{"n", std::to_string(count)}});
}

std::string step(int index, const char* step, const std::string& subject)
{
    return line("step", {{"index", std::to_string(index)}, {"step", step}, {"subject", subject}});
}

std::string back(int index)
{
    return line("back", {{"index", std::to_string(index)}});
}

std::string failed(const std::string& why)
{
    return line("failed", {{"text", why}});
}

std::string row(const Row& row)
{
    const RoundTrip& trip = row.round_trip;
    return line("row",
                {
                    {"index", std::to_string(row.index)},
                    {"description", row.description},
                    {"opens", flag(row.opens)},
                    {"queried", flag(row.queried)},
                    {"query_result", std::to_string(row.query_result)},
                    {"accepts", flag(row.accepts)},
                    {"proposes", flag(row.proposes)},
                    {"compression", row.proposed_compression},
                    {"bits", std::to_string(row.proposed_bits)},
                    {"configure", flag(row.configure)},
                    {"about", flag(row.about)},
                    {"driver_path", row.driver_path},
                    {"missing_dll", row.missing_dll},
                    {"reason", row.reason.code},
                    {"reason_text", row.reason.text},
                    {"trip", flag(trip.tried)},
                    {"trip_worked", flag(trip.worked)},
                    {"decompressor", trip.decompressor},
                    {"output_bits", std::to_string(trip.output_bits)},
                    {"compressed_bytes", std::to_string(trip.compressed_bytes)},
                    {"exact", flag(trip.exact)},
                    {"psnr_db", real(trip.psnr_db)},
                    {"looks", trip.looks},
                    {"ms_per_frame", real(trip.ms_per_frame)},
                });
}

bool decode(const std::string& line, Message& message)
{
    message = {};
    std::size_t start = 0;
    for (bool first = true;; first = false) {
        const std::size_t tab = line.find('\t', start);
        const std::string item = line.substr(start, tab - start);
        if (first) {
            message.kind = item;
        } else {
            const std::size_t equals = item.find('=');
            if (equals == std::string::npos)
                return false;
            message.fields[item.substr(0, equals)] = unescape(item.substr(equals + 1));
        }
        if (tab == std::string::npos)
            break;
        start = tab + 1;
    }
    return !message.kind.empty();
}

void read_row(const Message& message, Row& row)
{
    const auto yes = [&message](const char* name) { return message.text(name) == "1"; };
    const auto real = [&message](const char* name) {
        return std::strtod(message.text(name).c_str(), nullptr);
    };
    row.description = message.text("description");
    row.opens = yes("opens");
    row.queried = yes("queried");
    row.query_result = message.number("query_result");
    row.accepts = yes("accepts");
    row.proposes = yes("proposes");
    row.proposed_compression = message.text("compression");
    row.proposed_bits = static_cast<int>(message.number("bits"));
    row.configure = yes("configure");
    row.about = yes("about");
    row.driver_path = message.text("driver_path");
    row.missing_dll = message.text("missing_dll");
    row.reason = {message.text("reason"), message.text("reason_text")};
    RoundTrip& trip = row.round_trip;
    trip.tried = yes("trip");
    trip.worked = yes("trip_worked");
    trip.decompressor = message.text("decompressor");
    trip.output_bits = static_cast<int>(message.number("output_bits"));
    trip.compressed_bytes = message.number("compressed_bytes");
    trip.exact = yes("exact");
    trip.psnr_db = real("psnr_db");
    trip.looks = message.text("looks");
    trip.ms_per_frame = real("ms_per_frame");
}

std::string step_text(const std::string& step, const std::string& subject)
{
    static const std::map<std::string, std::string> texts = {
        {"open", "when opened"},
        {"open_query", "when opened for its description"},
        {"describe", "when asked for its description"},
        {"query", "when asked about the probe format"},
        {"quality", "when asked for its default quality"},
        {"format", "when asked for the format it proposes"},
        {"dialogs", "when asked about Configure and About"},
        {"close", "when closed"},
        {"compress_size", "when asked how large a compressed frame may be"},
        {"compress_begin", "when asked to begin compressing"},
        {"compress", "while compressing"},
        {"compress_end", "when asked to end compressing"},
        {"decompress_open", "when opened to decompress"},
        {"decompress_query", "when asked whether it decompresses"},
        {"decompress_begin", "when asked to begin decompressing"},
        {"decompress", "while decompressing"},
        {"decompress_end", "when asked to end decompressing"},
        {"decompress_close", "when closed after decompressing"},
    };
    const auto found = texts.find(step);
    std::string text = found == texts.end() ? "at step " + step : found->second;
    // Another handler, tried as the decompressor of this one's output.
    if (!subject.empty())
        text = "when " + subject + " was tried as its decompressor: " + text;
    return text;
}

}  // namespace selnary::report::protocol
