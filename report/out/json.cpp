// The report as one JSON document: every field of fields.h, each always
// present, null where it does not apply. Objects of the top level and the
// rows of its lists stand on lines of their own.

#include "report/out/fields.h"
#include "report/out/output.h"

#include <cmath>  // for std::isfinite
#include <cstdio>  // for std::snprintf
#include <type_traits>

namespace selnary::report {
namespace {

std::string json_string(std::string_view text)
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

template <class T>
std::string json_value(const T& value, int decimals)
{
    if constexpr (std::is_same_v<T, bool>) {
        return value ? "true" : "false";
    } else if constexpr (std::is_enum_v<T>) {
        return json_string(names_of(value)[static_cast<std::size_t>(value)]);
    } else if constexpr (std::is_integral_v<T>) {
        return std::to_string(value);
    } else if constexpr (std::is_floating_point_v<T>) {
        if (!std::isfinite(value))
            return "null";
        char text[48];
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
        return text;
    } else {
        return json_string(value);
    }
}

class Writer {
  public:
    // DEPTH 0 is the document: each of its values on a line of its own.
    Writer(std::string& out, int depth, bool nulls = false)
        : out_(out), depth_(depth), nulls_(nulls)
    {
    }

    template <class T>
    void operator()(std::string_view name, const T& value, int decimals = 0)
    {
        key(name);
        out_ += nulls_ ? "null" : json_value(value, decimals);
    }
    template <class T>
    void operator()(std::string_view name, const std::optional<T>& value, int decimals = 0)
    {
        key(name);
        out_ += nulls_ || !value ? "null" : json_value(*value, decimals);
    }
    template <class T, class Fields>
    void object(std::string_view name, const T& value, Fields fields)
    {
        key(name);
        out_ += "{";
        Writer inner(out_, depth_ + 1, nulls_);
        fields(inner, value);
        out_ += "}";
    }
    template <class T, class Fields>
    void object(std::string_view name, const std::optional<T>& value, Fields fields)
    {
        if (value && !nulls_) {
            object(name, *value, fields);
        } else {
            key(name);
            out_ += "null";
        }
    }
    // A missing group's fields each say null.
    template <class T, class Fields>
    void group(const std::optional<T>& value, Fields fields)
    {
        if (value) {
            fields(*this, *value);
        } else {
            const bool nulls = nulls_;
            nulls_ = true;
            const T missing{};
            fields(*this, missing);
            nulls_ = nulls;
        }
    }
    template <class T>
    void derived(std::string_view name, const T& value)
    {
        (*this)(name, value, 0);
    }
    // A list of numbers, null where one is missing.
    void numbers(std::string_view name, const std::vector<std::optional<double>>& values,
                 int decimals)
    {
        key(name);
        if (nulls_) {
            out_ += "null";
            return;
        }
        out_ += "[";
        for (std::size_t i = 0; i < values.size(); ++i)
            out_ += (i ? ", " : "") +
                (values[i] ? json_value(*values[i], decimals) : std::string("null"));
        out_ += "]";
    }
    template <class T, class Fields>
    void list(std::string_view name, const std::vector<T>& items, Fields fields)
    {
        key(name);
        out_ += "[";
        for (std::size_t i = 0; i < items.size(); ++i) {
            out_ += i ? ",\n    {" : "\n    {";
            Writer inner(out_, depth_ + 2);
            fields(inner, items[i]);
            out_ += "}";
        }
        out_ += items.empty() ? "]" : "\n  ]";
    }
    // An object of one item a key, its fields by FIELDS.
    template <class T, class Keys, class Fields>
    void keyed(std::string_view name, const std::vector<T>& items, const Keys& keys, Fields fields)
    {
        key(name);
        out_ += "{";
        Writer inner(out_, depth_ + 1, nulls_);
        for (std::size_t i = 0; i < items.size() && i < keys.size(); ++i)
            inner.object(keys[i], items[i], fields);
        out_ += "}";
    }
    template <class Names>
    void names(std::string_view name, const Names& items)
    {
        key(name);
        out_ += "[";
        for (std::size_t i = 0; i < items.size(); ++i)
            out_ += (i ? ", " : "") + json_string(items[i]);
        out_ += "]";
    }
    void end()
    {
        out_ += depth_ == 0 ? "\n}\n" : "}";
    }

  private:
    void key(std::string_view name)
    {
        if (depth_ == 0)
            out_ += first_ ? "{\n  " : ",\n  ";
        else if (!first_)
            out_ += ", ";
        first_ = false;
        out_ += json_string(name) + ": ";
    }

    std::string& out_;
    int depth_;
    bool nulls_;
    bool first_ = true;
};

// WHOLE as one JSON document, its fields by FIELDS.
template <class Whole, class Fields>
std::string document(const Whole& whole, Fields fields)
{
    std::string out;
    Writer write(out, 0);
    fields(write, whole);
    write.end();
    return out;
}

}  // namespace

Format header_of(const Input& input)
{
    const PixelFormat& format = *input.format;
    return {input.size.width, format.top_down ? -input.size.height : input.size.height,
            format.bit_count, text::compression_text(format.compression)};
}

std::string json_text(const Matrix& matrix)
{
    return document(matrix, fields::matrix);
}

std::string json_text(const Report& report)
{
    return document(report, fields::report);
}

std::string json_text(const Play& play)
{
    return document(play, fields::play);
}

}  // namespace selnary::report
