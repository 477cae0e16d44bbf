// Reader of bond-angle histograms: two comment lines, a header line, a
// per-timestep statistics line, then the histogram rows.
#include "readers/readers.h"
#include "readers/table_rules.h"

namespace quor {

outcome<column_table> parse_bond_angle(std::string_view path) {
    // Lines 0, 1 and 3 are never examined, but the file must reach line 4.
    return read_table(path, {.header = 2, .first_row = 4, .fewest_lines = 5});
}

}  // namespace quor
