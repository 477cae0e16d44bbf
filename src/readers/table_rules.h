// What the column readers share: clean_line, header names, row acceptance and
// the reading of a table whose header and rows stand on fixed lines.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/outcome.h"
#include "readers/column_table.h"

namespace quor {

// Writes into `out` the line with every '#' deleted, tabs turned into blanks and
// its leading whitespace removed (trailing whitespace stays). The storage of
// `out` is reused from line to line.
void clean_line(std::string_view line, std::string& out);

// The fields of a cleaned header line, each kept whole.
std::vector<std::string> header_names(std::string_view cleaned_header);

// Row acceptance: when `line` has at least as many fields as there are columns
// and the first of them are numbers, appends value k to column k and returns
// true; otherwise leaves the columns as they were and returns false. Fields past
// the last column are never examined. With no columns no row is accepted.
bool accept_row(std::string_view line, std::span<bulk_array<double>> columns);

// accept_row, telling where the last column's field ends (nullptr when refused),
// for a caller that wants to know whether more fields follow.
const char* accept_row_end(std::string_view line, std::span<bulk_array<double>> columns);

// Where a fixed-layout table keeps its parts, as line numbers from 0. Lines
// before first_row other than the header are never examined.
struct table_layout {
    std::size_t header;         // passed through clean_line; its fields name the columns
    std::size_t first_row;      // this line and every later one is a candidate row, not cleaned
    std::size_t fewest_lines;   // a file with fewer lines is "file too short"
};

// The column table of the file at `path` laid out as `layout` says.
outcome<column_table> read_table(std::string_view path, const table_layout& layout);

}  // namespace quor
