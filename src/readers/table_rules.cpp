// clean_line, header names, row acceptance and fixed-layout tables.
#include "readers/table_rules.h"

#include "readers/fields.h"
#include "readers/line_reader.h"
#include "readers/number_scan.h"

namespace quor {

void clean_line(std::string_view line, std::string& out) {
    out.clear();
    for (const char c : line) {
        if (c == '#') continue;
        out.push_back(c == '\t' ? ' ' : c);
    }
    // '#' and tab are ASCII, so the bytes kept are still whole UTF-8 characters.
    const std::string_view trimmed = trim_start(out);
    out.erase(0, out.size() - trimmed.size());
}

std::vector<std::string> header_names(std::string_view cleaned_header) {
    std::vector<std::string> names;
    field_cursor fields(cleaned_header);
    std::string_view field;
    while (fields.next(field)) names.emplace_back(field);
    return names;
}

bool accept_row(std::string_view line, std::span<bulk_array<double>> columns) {
    return accept_row_end(line, columns) != nullptr;
}

const char* accept_row_end(std::string_view line, std::span<bulk_array<double>> columns) {
    if (columns.empty()) return nullptr;
    const char* p = line.data();
    const char* const end = p + line.size();
    // Each number is read where its field starts and must end where the field ends,
    // so a field is scanned once. A value goes straight to its column; a field that
    // is not a number takes back the values of the fields before it.
    for (std::size_t k = 0; k < columns.size(); ++k) {
        // Blanks first, the common separator; then any other whitespace.
        while (p < end && *p == ' ') ++p;
        p = skip_whitespace(p, end);
        double value;
        const char* const stop = p == end ? nullptr : detail::scan_number_inline(p, end, value);
        if (stop == nullptr || (stop != end && *stop != ' ' && whitespace_length(stop, end) == 0)) {
            const std::size_t rows = columns[k].size();
            for (std::size_t j = 0; j < k; ++j) columns[j].truncate(rows);
            return nullptr;
        }
        columns[k].push_back(value);
        p = stop;
    }
    return p;
}

outcome<column_table> read_table(std::string_view path, const table_layout& layout) {
    auto opened = line_reader::open(path);
    if (!opened.ok()) return opened.failure();
    line_reader& lines = opened.value();

    column_table table;
    std::size_t line_number = 0;
    std::string_view line;
    for (; lines.next(line); ++line_number) {
        if (line_number == layout.header) {
            std::string cleaned;
            clean_line(line, cleaned);
            table.start(header_names(cleaned));
        } else if (line_number >= layout.first_row) {
            accept_row(line, table.columns);
        }
    }
    if (lines.failure()) return *lines.failure();
    if (line_number < layout.fewest_lines) {
        std::string message(path);
        message += ": file too short";
        return value_error(std::move(message));
    }
    return table;
}

}  // namespace quor
