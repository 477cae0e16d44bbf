// Reader of the transport-output tables (MSD, viscosity, conductivity, RDF).
#include <string>

#include "readers/fields.h"
#include "readers/line_reader.h"
#include "readers/readers.h"
#include "readers/table_rules.h"

namespace quor {
namespace {

constexpr std::string_view header_marker = "#Time";

}  // namespace

outcome<column_table> parse_quor_file(std::string_view path) {
    auto opened = line_reader::open(path);
    if (!opened.ok()) return opened.failure();
    line_reader& lines = opened.value();

    // The header is the last line that starts with "#Time" once its leading
    // whitespace is set aside (tested before cleaning); without one, line 0
    // (rdf.dat carries its header there). The file is read once: rows are
    // gathered under the latest header seen, and a later header starts afresh.
    column_table table;
    std::string cleaned;
    bool any_line = false;
    std::string_view line;
    while (lines.next(line)) {
        if (!any_line || trim_start(line).starts_with(header_marker)) {
            any_line = true;
            clean_line(line, cleaned);
            table.start(header_names(cleaned));
            continue;
        }
        // Every line is cleaned, so '#' characters inside rows vanish before the
        // fields are taken ("5#6" reads as 56). A row accepted as it stands holds
        // no '#' up to the end of its last column's field ('#' is neither a number
        // character nor whitespace), and cleaning changes nothing there; so only a
        // row refused as it stands, and holding a '#', is cleaned and tried again.
        if (!accept_row(line, table.columns) && line.find('#') != std::string_view::npos) {
            clean_line(line, cleaned);
            accept_row(cleaned, table.columns);
        }
    }
    if (lines.failure()) return *lines.failure();
    if (table.names.empty()) {
        std::string message = "No header found in ";
        message += path;
        return value_error(std::move(message));
    }
    return table;
}

}  // namespace quor
