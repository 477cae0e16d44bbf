// Reader of the transport-output tables (MSD, viscosity, conductivity, RDF).
#include <algorithm>
#include <string>

#include "readers/fields.h"
#include "readers/line_reader.h"
#include "readers/readers.h"
#include "readers/table_rules.h"

namespace quor {
namespace {

constexpr std::string_view header_marker = "#Time";

// Values handed to the sink at a time: runs of rows short enough to stay in the
// cache, at most 4096 rows and, for wide tables, fewer (but always one row).
constexpr std::size_t values_per_block = std::size_t{1} << 15;
constexpr std::size_t most_rows_per_block = 4096;

std::size_t rows_per_block(std::size_t columns) noexcept {
    const std::size_t rows = values_per_block / (columns > 0 ? columns : 1);
    return rows < 1 ? 1 : rows > most_rows_per_block ? most_rows_per_block : rows;
}

}  // namespace

outcome<std::vector<std::string>> read_quor_file(std::string_view path, row_sink& sink) {
    auto opened = line_reader::open(path);
    if (!opened.ok()) return opened.failure();
    line_reader& lines = opened.value();

    // The header is the last line that starts with "#Time" once its leading
    // whitespace is set aside (tested before cleaning); without one, line 0
    // (rdf.dat carries its header there). The file is read once: rows are
    // gathered under the latest header seen, and a later header starts afresh.
    std::vector<std::string> names;
    std::vector<bulk_array<double>> block;
    std::string cleaned;
    bool any_line = false;
    std::size_t block_rows = 0;     // rows per block under this header
    std::size_t rows = 0;           // rows handed to the sink under this header
    std::size_t rows_from = 0;      // where the rows under this header start in the file
    const auto hand_over = [&] {
        const std::size_t count = block[0].size();
        rows += count;
        // The rows so far, scaled to the whole file, a little over so that a table
        // of even rows needs no second guess; never more than the rest of the file
        // could hold (a row takes at least two bytes a column).
        const std::size_t read = lines.position() - rows_from;
        const std::size_t left = lines.size_hint() > lines.position() ? lines.size_hint() - lines.position() : 0;
        const double scaled = static_cast<double>(rows) * 1.01 *
                              (1.0 + static_cast<double>(left) / static_cast<double>(read > 0 ? read : 1));
        const double most = static_cast<double>(rows + left / (2 * block.size()));
        sink.take(block, static_cast<std::size_t>(scaled < most ? scaled : most) + 1);
        for (auto& column : block) column.clear();
    };

    std::string_view line;
    while (lines.next(line)) {
        if (!any_line || trim_start(line).starts_with(header_marker)) {
            any_line = true;
            clean_line(line, cleaned);
            names = header_names(cleaned);
            block = std::vector<bulk_array<double>>(names.size());
            block_rows = rows_per_block(names.size());
            // A small file needs no more than it can hold (two bytes a value at least).
            const std::size_t fit = lines.size_hint() / (2 * std::max<std::size_t>(names.size(), 1)) + 1;
            for (auto& column : block) column.reserve(std::min(block_rows, fit));
            rows = 0;
            rows_from = lines.position();
            sink.start(names);
            continue;
        }
        // Every line is cleaned, so '#' characters inside rows vanish before the
        // fields are taken ("5#6" reads as 56). A row accepted as it stands holds
        // no '#' up to the end of its last column's field ('#' is neither a number
        // character nor whitespace), and cleaning changes nothing there; so only a
        // row refused as it stands, and holding a '#', is cleaned and tried again.
        if (!accept_row(line, block) && line.find('#') != std::string_view::npos) {
            clean_line(line, cleaned);
            accept_row(cleaned, block);
        }
        if (!block.empty() && block[0].size() == block_rows) hand_over();
    }
    if (lines.failure()) return *lines.failure();
    if (names.empty()) {
        std::string message = "No header found in ";
        message += path;
        return value_error(std::move(message));
    }
    if (!block[0].empty()) hand_over();
    return names;
}

}  // namespace quor
