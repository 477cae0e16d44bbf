// Reader of thermodynamic-property tables: a title line, a header line, data rows.
#include "readers/readers.h"
#include "readers/table_rules.h"

namespace quor {

outcome<column_table> parse_thermoprop(std::string_view path) {
    // Line 0 is the title. Data lines are not cleaned: a line whose first field
    // starts with '#' is no row.
    return read_table(path, {.header = 1, .first_row = 2, .fewest_lines = 2});
}

}  // namespace quor
