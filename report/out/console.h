// Where the report's text goes.
#pragma once

#include <string>

namespace selnary::report {

// Writes UTF-8 TEXT to standard output (or error): as characters to a
// console, whatever its code page, and as bytes anywhere else.
void write_out(const std::string& text);
void write_error(const std::string& text);

}  // namespace selnary::report
