// Reader of the transport-output tables (MSD, viscosity, conductivity, RDF).
#include <algorithm>
#include <string>

#include "readers/lines.h"
#include "readers/readers.h"
#include "readers/table_rules.h"
#include "readers/text_file.h"

namespace quor {
namespace {

constexpr std::string_view header_marker = "#Time";

error no_header(std::string_view path) {
    std::string message = "No header found in ";
    message += path;
    return value_error(std::move(message));
}

}  // namespace

outcome<column_table> parse_quor_file(std::string_view path) {
    auto read = read_text_file(path);
    if (!read.ok()) return read.failure();
    const std::string_view text = read.value().view();

    // The header is the last line that starts with "#Time" once its leading
    // whitespace is set aside (tested before cleaning); without one, line 0
    // (rdf.dat carries its header there).
    std::size_t header_offset = 0, header_end = 0;
    std::size_t line_count = 0, lines_after_header = 0;
    {
        line_cursor lines(text);
        std::string_view line;
        while (lines.next(line)) {
            if (line_count++ == 0) header_end = line.size();
            if (trim_start(line).starts_with(header_marker)) {
                header_offset = static_cast<std::size_t>(line.data() - text.data());
                header_end = header_offset + line.size();
                lines_after_header = 0;
            } else {
                ++lines_after_header;
            }
        }
    }
    if (line_count == 0) return no_header(path);

    column_table table;
    std::string cleaned;
    clean_line_into(text.substr(header_offset, header_end - header_offset), cleaned);
    table.names = header_names(cleaned);
    if (table.names.empty()) return no_header(path);
    const std::size_t column_count = table.names.size();
    // Every row comes from a line after the header: room for all of them at once
    // spares the regrowth of a large table.
    // A row of N values takes at least 2N bytes, which bounds the room by the text.
    table.values.reserve(std::min(lines_after_header * column_count, text.size() / 2 + column_count));

    // Every line is cleaned, so '#' characters inside rows vanish before the
    // fields are taken ("5#6" reads as 56). A line without '#' is its own
    // cleaned form as far as fields go, so only lines with a '#' are copied.
    line_cursor lines(text.substr(header_end));
    std::string_view line;
    lines.skip();  // the rest of the header line
    while (lines.next(line)) {
        if (line.find('#') == std::string_view::npos) {
            accept_row(line, column_count, table.values);
        } else {
            clean_line_into(line, cleaned);
            accept_row(cleaned, column_count, table.values);
        }
    }
    return table;
}

}  // namespace quor
