// Reader of thermodynamic-property tables: a title line, a header line, data rows.
#include "readers/lines.h"
#include "readers/readers.h"
#include "readers/table_rules.h"
#include "readers/text_file.h"

namespace quor {

outcome<column_table> parse_thermoprop(std::string_view path) {
    auto read = read_text_file(path);
    if (!read.ok()) return read.failure();

    line_cursor lines(read.value().view());
    std::string_view header;
    if (!lines.skip() || !lines.next(header)) return file_too_short(path);

    // Data lines are not cleaned: a line whose first field starts with '#' is no row.
    return read_columns(header, lines);
}

}  // namespace quor
