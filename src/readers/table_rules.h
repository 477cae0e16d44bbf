// What the column readers share: clean_line, header names and row acceptance.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/outcome.h"
#include "readers/column_table.h"
#include "readers/lines.h"

namespace quor {

// The line with every '#' deleted, tabs turned into blanks and its leading
// whitespace removed (trailing whitespace stays).
std::string clean_line(std::string_view line);

// The same, written into `out` (its storage is reused from line to line).
void clean_line_into(std::string_view line, std::string& out);

// The fields of a header line, each kept whole.
std::vector<std::string> header_names(std::string_view cleaned_header);

// Row acceptance: when `line` has at least `column_count` fields and the first
// `column_count` are numbers, appends their values to `values` and returns true;
// otherwise leaves `values` as it was and returns false. Fields past the
// column_count-th are never examined. With no columns no row is accepted.
bool accept_row(std::string_view line, std::size_t column_count, std::vector<double>& values);

// The table of a header line (cleaned here) and the candidate rows the cursor
// still holds, which are judged as they stand, without cleaning.
column_table read_columns(std::string_view header, line_cursor rows);

// ValueError "{path}: file too short", for a table without its fixed lines.
error file_too_short(std::string_view path);

}  // namespace quor
