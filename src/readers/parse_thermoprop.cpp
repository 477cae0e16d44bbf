// Reader of thermodynamic-property tables: a title line, a header line, data rows.
#include "readers/lines.h"
#include "readers/readers.h"
#include "readers/table_rules.h"
#include "readers/text_file.h"

namespace quor {

outcome<column_table> parse_thermoprop(std::string_view path) {
    auto read = read_text_file(path);
    if (!read.ok()) return read.failure();

    line_cursor lines(read.value());
    std::string_view header;
    if (!lines.skip() || !lines.next(header)) return file_too_short(path);

    column_table table;
    table.names = header_names(clean_line(header));
    // Data lines are not cleaned: a line whose first field starts with '#' is no row.
    std::string_view line;
    while (lines.next(line)) accept_row(line, table.names.size(), table.values);
    return table;
}

}  // namespace quor
