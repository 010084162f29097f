#include "report/base/text.h"

#include <cstdio>  // for std::snprintf

namespace selnary::text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void append_utf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void append_wide(std::wstring& out, char32_t c)
{
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
        c -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (c >> 10));
        out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
    } else {
        out += static_cast<wchar_t>(c);
    }
}

// The columns one character takes.
std::size_t width_of(char32_t c)
{
    if ((c >= 0x300 && c < 0x370) || (c >= 0x200B && c < 0x2010) || (c >= 0xFE20 && c < 0xFE30))
        return 0;
    const bool wide = (c >= 0x1100 && c < 0x1160) || (c >= 0x2E80 && c < 0xA4D0 && c != 0x303F) ||
        (c >= 0xAC00 && c < 0xD7A4) || (c >= 0xF900 && c < 0xFB00) || (c >= 0xFE30 && c < 0xFE50) ||
        (c >= 0xFF00 && c < 0xFF61) || (c >= 0xFFE0 && c < 0xFFE7) ||
        (c >= 0x1F300 && c < 0x1F650) || (c >= 0x20000 && c < 0x3FFFE);
    return wide ? 2 : 1;
}

// The character UTF-8 text has at AT, moving AT past it. Cut short,
// overlong, a surrogate or beyond Unicode: U+FFFD for what was read.
char32_t next_character(std::string_view utf8, std::size_t& at)
{
    const auto lead = static_cast<unsigned char>(utf8[at]);
    const std::size_t length = lead < 0x80 ? 1
        : lead >= 0xC2 && lead < 0xE0      ? 2
        : lead >= 0xE0 && lead < 0xF0      ? 3
        : lead >= 0xF0 && lead < 0xF5      ? 4
                                           : 0;
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    std::size_t used = 1;
    for (; length > 1 && used < length && at + used < utf8.size(); ++used) {
        const auto next = static_cast<unsigned char>(utf8[at + used]);
        if ((next & 0xC0) != 0x80)
            break;
        c = (c << 6) | (next & 0x3F);
    }
    at += used;
    const bool sound = length != 0 && used == length && !(length == 3 && c < 0x800) &&
        !(length == 4 && (c < 0x10000 || c > 0x10FFFF)) && !(c >= 0xD800 && c < 0xE000);
    return sound ? c : kReplacement;
}

bool printable(std::uint32_t code)
{
    for (int shift = 0; shift < 32; shift += 8) {
        const std::uint32_t c = (code >> shift) & 0xFF;
        if (c < 0x20 || c >= 0x7F)
            return false;
    }
    return true;
}

}  // namespace

std::string utf8(std::wstring_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = static_cast<char32_t>(text[i]);
        if (sizeof(wchar_t) == 2 && c >= 0xD800 && c < 0xE000) {
            const char32_t low = i + 1 < text.size() ? static_cast<char32_t>(text[i + 1]) : 0;
            if (c < 0xDC00 && low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            } else {
                c = kReplacement;  // half of a pair
            }
        } else if (c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
            c = kReplacement;
        }
        append_utf8(out, c);
    }
    return out;
}

std::wstring wide(std::string_view utf8)
{
    std::wstring out;
    for (std::size_t at = 0; at < utf8.size();)
        append_wide(out, next_character(utf8, at));
    return out;
}

std::string lower_ascii(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    return text;
}

std::size_t columns(std::string_view utf8)
{
    std::size_t used = 0;
    for (std::size_t at = 0; at < utf8.size();)
        used += width_of(next_character(utf8, at));
    return used;
}

std::string_view leading_columns(std::string_view utf8, std::size_t width)
{
    std::size_t used = 0, at = 0;
    while (at < utf8.size()) {
        std::size_t next = at;
        used += width_of(next_character(utf8, next));
        if (used > width)
            break;
        at = next;
    }
    return utf8.substr(0, at);
}

std::string fourcc(std::uint32_t code)
{
    std::string out;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((code >> shift) & 0xFF);
        out += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return out;
}

std::string compression_text(std::uint32_t code)
{
    // The uncompressed kinds, numbered as wingdi.h numbers them.
    static constexpr const char* kNamed[] = {"BI_RGB", "BI_RLE8", "BI_RLE4", "BI_BITFIELDS"};
    if (code < std::size(kNamed))
        return kNamed[code];
    return printable(code) ? fourcc(code) : hex(code);
}

std::optional<std::string_view> icerr_name(long long value)
{
    // As vfw.h defines them; the unit tests hold the two together.
    static constexpr struct {
        long long value;
        std::string_view name;
    } kNames[] = {
        {0, "ICERR_OK"},           {1, "ICERR_DONTDRAW"},       {2, "ICERR_NEWPALETTE"},
        {3, "ICERR_GOTOKEYFRAME"}, {4, "ICERR_STOPDRAWING"},    {-1, "ICERR_UNSUPPORTED"},
        {-2, "ICERR_BADFORMAT"},   {-3, "ICERR_MEMORY"},        {-4, "ICERR_INTERNAL"},
        {-5, "ICERR_BADFLAGS"},    {-6, "ICERR_BADPARAM"},      {-7, "ICERR_BADSIZE"},
        {-8, "ICERR_BADHANDLE"},   {-9, "ICERR_CANTUPDATE"},    {-10, "ICERR_ABORT"},
        {-100, "ICERR_ERROR"},     {-200, "ICERR_BADBITDEPTH"}, {-201, "ICERR_BADIMAGESIZE"},
        {-400, "ICERR_CUSTOM"},
    };
    for (const auto& known : kNames)
        if (known.value == value)
            return known.name;
    return std::nullopt;
}

std::string icerr_text(long long value)
{
    const auto name = icerr_name(value);
    return name ? std::string(*name) + " (" + std::to_string(value) + ")" : std::to_string(value);
}

std::string hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value));
    return text;
}

}  // namespace selnary::text
