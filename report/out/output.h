// The report as text: a table for people, JSON for scripts, both UTF-8.
#pragma once

#include "report/out/row.h"

#include <string>

namespace selnary::report {

// At most this many columns a line, a column a character.
inline constexpr std::size_t kTableWidth = 100;

// The header fields of INPUT's format, as the report's "probe" names them.
Format header_of(const Input& input);

std::string table_text(const Report& report);
std::string json_text(const Report& report);
std::string table_text(const Matrix& matrix);
// The matrix a report of cells makes: its rows are each compressor's cells,
// the formats of each in order, as its input asks about every format.
Matrix matrix_of(const Report& report);
std::string json_text(const Matrix& matrix);

}  // namespace selnary::report
