// Reader of bond-angle histograms: two comment lines, a header line, a
// per-timestep statistics line, then the histogram rows.
#include "readers/lines.h"
#include "readers/readers.h"
#include "readers/table_rules.h"
#include "readers/text_file.h"

namespace quor {

outcome<column_table> parse_bond_angle(std::string_view path) {
    auto read = read_text_file(path);
    if (!read.ok()) return read.failure();

    // Lines 0, 1 and 3 are never examined, but the file must reach line 4.
    line_cursor lines(read.value().view());
    std::string_view header;
    if (!lines.skip() || !lines.skip() || !lines.next(header) || !lines.skip())
        return file_too_short(path);
    line_cursor rows = lines;
    if (!lines.skip()) return file_too_short(path);

    return read_columns(header, rows);
}

}  // namespace quor
