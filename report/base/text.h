// Text helpers for the whole project: UTF-8 and wide strings, four-character
// codes, and the names of compression codes and ICERR_ values. They depend
// on nothing but the standard library, so the report, its unit tests and the
// test compressor share them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace selnary::text {

// UTF-16 to UTF-8 and back; what does not convert becomes U+FFFD.
std::string utf8(std::wstring_view text);
std::wstring wide(std::string_view utf8);

std::string lower_ascii(std::string text);

// How many columns UTF-8 text takes on a terminal: two for a wide East Asian
// character, none for a combining mark, one for any other.
std::size_t columns(std::string_view utf8);
// The longest start of UTF-8 text that takes no more than WIDTH columns,
// never a character cut in two.
std::string_view leading_columns(std::string_view utf8, std::size_t width);

// A handler's or compression's four-character code, as its characters,
// each unprintable one as '?'.
std::string fourcc(std::uint32_t code);

// A compression code: BI_RGB and the like by name, a printable
// four-character code as its characters, anything else as 0x%08x.
std::string compression_text(std::uint32_t code);

// The ICERR_ name of VALUE (ICERR_BADFORMAT), if it has one.
std::optional<std::string_view> icerr_name(long long value);
// "ICERR_BADFORMAT (-2)", or the number alone.
std::string icerr_text(long long value);

// VALUE as 0x%08x.
std::string hex(std::uint32_t value);

}  // namespace selnary::text
