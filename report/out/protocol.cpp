// Both ends of the child's messages, encoding beside decoding, each walking
// the fields' one table.

#include "report/out/protocol.h"

#include "report/out/fields.h"

#include <cerrno>
#include <cstdio>  // for std::snprintf
#include <cstdlib>  // for std::strtoll, std::strtod
#include <limits>
#include <type_traits>

namespace selnary::report::protocol {
namespace {

std::string escape(std::string_view value)
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

std::string unescape(std::string_view value)
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

template <class T>
std::string encode(const T& value)
{
    if constexpr (std::is_same_v<T, bool>) {
        return value ? "1" : "0";
    } else if constexpr (std::is_enum_v<T>) {
        return std::string(names_of(value)[static_cast<std::size_t>(value)]);
    } else if constexpr (std::is_integral_v<T>) {
        return std::to_string(value);
    } else if constexpr (std::is_floating_point_v<T>) {
        char text[40];
        std::snprintf(text, sizeof text, "%.17g", value);  // every bit of it, back as it went
        return text;
    } else {
        return value;
    }
}

template <class T>
bool parse(const std::string& text, T& value)
{
    if constexpr (std::is_same_v<T, bool>) {
        value = text == "1";
        return text == "1" || text == "0";
    } else if constexpr (std::is_enum_v<T>) {
        const auto& names = names_of(value);
        for (std::size_t i = 0; i < names.size(); ++i)
            if (names[i] == text) {
                value = static_cast<T>(i);
                return true;
            }
        return false;
    } else if constexpr (std::is_integral_v<T>) {
        char* end = nullptr;
        errno = 0;
        const long long number = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno != 0 || number < std::numeric_limits<T>::min() ||
            number > std::numeric_limits<T>::max())
            return false;
        value = static_cast<T>(number);
        return true;
    } else if constexpr (std::is_floating_point_v<T>) {
        char* end = nullptr;
        value = std::strtod(text.c_str(), &end);
        return !text.empty() && *end == '\0';
    } else {
        value = text;
        return true;
    }
}

// Writes a record's fields as NAME=VALUE items, nested ones as OUTER.NAME; a
// missing value is left out, and a nested object that is there says so by
// its own name with nothing after the "=".
class Writer {
  public:
    explicit Writer(std::string& out, std::string prefix = {})
        : out_(out), prefix_(std::move(prefix))
    {
    }

    template <class T>
    void operator()(std::string_view name, const T& value, int = 0)
    {
        put(name, encode(value));
    }
    template <class T>
    void operator()(std::string_view name, const std::optional<T>& value, int = 0)
    {
        if (value)
            put(name, encode(*value));
    }
    template <class T, class Fields>
    void object(std::string_view name, const T& value, Fields fields)
    {
        put(name, "");
        Writer inner(out_, prefix_ + std::string(name) + ".");
        fields(inner, value);
    }
    template <class T, class Fields>
    void object(std::string_view name, const std::optional<T>& value, Fields fields)
    {
        if (value)
            object(name, *value, fields);
    }
    template <class T, class Fields>
    void group(const std::optional<T>& value, Fields fields)
    {
        if (value)
            fields(*this, *value);
    }
    template <class T>
    void derived(std::string_view, const T&)
    {
    }
    // A list of numbers, each missing one as "-", in one value.
    void numbers(std::string_view name, const std::vector<std::optional<double>>& values, int = 0)
    {
        if (values.empty())
            return;
        std::string text;
        for (std::size_t i = 0; i < values.size(); ++i)
            text += (i ? "," : "") + (values[i] ? encode(*values[i]) : std::string("-"));
        put(name, text);
    }

  private:
    void put(std::string_view name, const std::string& value)
    {
        out_ += '\t' + prefix_ + std::string(name) + '=' + escape(value);
    }

    std::string& out_;
    std::string prefix_;
};

// Reads what Writer wrote. A value that is not there is left as it was, or
// missing; one that is there and does not read makes the whole read fail.
class Reader {
  public:
    Reader(const Message& message, std::string prefix = {})
        : message_(message), prefix_(std::move(prefix))
    {
    }

    template <class T>
    void operator()(std::string_view name, T& value, int = 0)
    {
        if (const auto text = find(name))
            ok_ = parse(*text, value) && ok_;
    }
    template <class T>
    void operator()(std::string_view name, std::optional<T>& value, int = 0)
    {
        value.reset();
        if (const auto text = find(name))
            ok_ = parse(*text, value.emplace()) && ok_;
    }
    template <class T, class Fields>
    void object(std::string_view name, T& value, Fields fields)
    {
        Reader inner(message_, prefix_ + std::string(name) + ".");
        fields(inner, value);
        ok_ = ok_ && inner.ok_;
        seen_ = seen_ || inner.seen_;
    }
    template <class T, class Fields>
    void object(std::string_view name, std::optional<T>& value, Fields fields)
    {
        value.reset();
        if (find(name))
            object(name, value.emplace(), fields);
    }
    template <class T, class Fields>
    void group(std::optional<T>& value, Fields fields)
    {
        Reader inner(message_, prefix_);
        T read{};
        fields(inner, read);
        ok_ = ok_ && inner.ok_;
        value.reset();
        if (inner.seen_)
            value = std::move(read);
    }
    template <class T>
    void derived(std::string_view, const T&)
    {
    }
    void numbers(std::string_view name, std::vector<std::optional<double>>& values, int = 0)
    {
        values.clear();
        const std::string* text = find(name);
        for (std::size_t start = 0; text && start <= text->size();) {
            const std::size_t end = std::min(text->find(',', start), text->size());
            const std::string item = text->substr(start, end - start);
            if (item == "-")
                values.emplace_back();
            else
                ok_ = parse(item, values.emplace_back().emplace()) && ok_;
            start = end + 1;
        }
    }

    bool ok() const
    {
        return ok_;
    }

  private:
    const std::string* find(std::string_view name)
    {
        const auto found = message_.values.find(prefix_ + std::string(name));
        if (found == message_.values.end())
            return nullptr;
        seen_ = true;
        return &found->second;
    }

    const Message& message_;
    std::string prefix_;
    bool ok_ = true;
    bool seen_ = false;
};

std::string line(std::string_view kind, const std::string& items)
{
    return std::string(kind) + items + "\n";
}

// A message's own values, each an item.
std::string item(std::string_view name, const std::string& value)
{
    return '\t' + std::string(name) + '=' + escape(value);
}

// RECORD as a message of KIND, its fields by FIELDS, and read back.
template <class Record, class Fields>
std::string record_line(std::string_view kind, const Record& record, Fields fields)
{
    std::string items;
    Writer write(items);
    fields(write, record);
    return line(kind, items);
}

template <class Record, class Fields>
bool read_record(const Message& message, Record& record, Fields fields)
{
    Reader read(message);
    fields(read, record);
    return read.ok();
}

}  // namespace

std::optional<std::string> Message::text(std::string_view name) const
{
    const auto found = values.find(name);
    return found == values.end() ? std::nullopt : std::optional(found->second);
}

std::optional<long long> Message::number(std::string_view name) const
{
    long long value = 0;
    const auto said = text(name);
    return said && parse(*said, value) ? std::optional(value) : std::nullopt;
}

std::string entry(int at, const std::string& code, const std::string& driver)
{
    std::string items = item("at", encode(at));
    Writer write(items);
    Row listed;
    listed.code = code;
    listed.driver = driver;
    fields::listing(write, listed);
    return line("entry", items);
}

std::string count(int count)
{
    return line("count", item("n", encode(count)));
}

std::string calling(int at, std::string_view call, const std::string& subject)
{
    return line("calling",
                item("at", encode(at)) + item("call", std::string(call)) +
                    item("subject", subject));
}

std::string back(int at)
{
    return line("back", item("at", encode(at)));
}

std::string failed(const std::string& why)
{
    return line("failed", item("why", why));
}

std::string row(const Row& row)
{
    return record_line("row", row, fields::row);
}

std::string movie(const Movie& movie)
{
    return record_line("movie", movie, fields::movie);
}

std::string refused(const std::string& why, bool platform)
{
    return line("refused", item("why", why) + item("platform", encode(platform)));
}

std::string pick(const Pick& pick)
{
    return record_line("pick", pick, fields::pick);
}

std::string player(const Player& player)
{
    return record_line("player", player, fields::player);
}

bool read_movie(const Message& message, Movie& movie)
{
    return read_record(message, movie, fields::movie);
}

bool read_pick(const Message& message, Pick& pick)
{
    return read_record(message, pick, fields::pick);
}

bool read_player(const Message& message, Player& player)
{
    return read_record(message, player, fields::player);
}

std::optional<Message> decode(std::string_view line)
{
    Message message;
    std::size_t start = 0;
    for (bool first = true;; first = false) {
        const std::size_t tab = line.find('\t', start);
        const std::string_view item = line.substr(start, tab - start);
        if (first) {
            message.kind = item;
        } else {
            const std::size_t equals = item.find('=');
            if (equals == std::string_view::npos || equals == 0 ||
                !message.values.emplace(item.substr(0, equals), unescape(item.substr(equals + 1)))
                     .second)
                return std::nullopt;
        }
        if (tab == std::string_view::npos)
            break;
        start = tab + 1;
    }
    if (message.kind.empty())
        return std::nullopt;
    return message;
}

bool read_entry(const Message& message, Row& row)
{
    const auto at = message.number("at");
    Reader read(message);
    fields::listing(read, row);
    if (!at || *at < 0 || *at > std::numeric_limits<int>::max() || !read.ok())
        return false;
    row.index = static_cast<int>(*at);
    return true;
}

bool read_row(const Message& message, Row& row)
{
    return read_record(message, row, fields::row);
}

std::string step_text(std::string_view step, const std::string& subject, const Input& asked)
{
    static constexpr struct {
        std::string_view step, text;
    } kTexts[] = {
        {"open", "when opened"},
        {"open_query", "when opened for its description"},
        {"describe", "when asked for its description"},
        {"quality", "when asked for its default quality"},
        {"format", "when asked for the format it proposes"},
        {"dialogs", "when asked about Configure and About"},
        {"close", "when closed"},
        {"compress_size", "when asked how large a compressed frame may be"},
        {"get_state", "when asked for its settings"},
        {"set_state", "when its settings were set again"},
        {"compress_frames_info", "when told the clip's frame count"},
        {"compress_begin", "when asked to begin compressing"},
        {"compress", "while compressing"},
        {"compress_end", "when asked to end compressing"},
        {"decompress_open", "when opened to decompress"},
        {"decompress_query", "when asked whether it decompresses"},
        {"decompress_begin", "when asked to begin decompressing"},
        {"decompress", "while decompressing"},
        {"decompress_end", "when asked to end decompressing"},
        {"decompress_close", "when closed after decompressing"},
        {"decompress_format", "when asked the format it decompresses to"},
        {"locate", "when the platform looked for a decompressor (ICLocate)"},
        {"avi_open", "when it opened the file"},
        {"avi_stream", "when it looked for the video stream"},
        {"avi_info", "when it read the stream's header"},
        {"avi_format", "when it read the video format"},
        {"avi_read", "when it read a frame"},
    };
    std::string text = "at step " + std::string(step);
    for (const auto& known : kTexts)
        if (known.step == step)
            text = known.text;
    if (step == "query")
        text = "when asked about " + asked.named("the probe format");
    // Another handler, tried as the decompressor of this one's output.
    if (!subject.empty())
        text = "when " + subject + " was tried as its decompressor: " + text;
    return text;
}

}  // namespace selnary::report::protocol
