// clean_line, header names and row acceptance.
#include "readers/table_rules.h"

#include "readers/lines.h"
#include "readers/number.h"

namespace quor {

void clean_line_into(std::string_view line, std::string& out) {
    out.clear();
    for (const char c : line) {
        if (c == '#') continue;
        out.push_back(c == '\t' ? ' ' : c);
    }
    // '#' and tab are ASCII, so the bytes kept are still whole UTF-8 characters.
    const std::string_view trimmed = trim_start(out);
    out.erase(0, out.size() - trimmed.size());
}

std::string clean_line(std::string_view line) {
    std::string cleaned;
    clean_line_into(line, cleaned);
    return cleaned;
}

std::vector<std::string> header_names(std::string_view cleaned_header) {
    std::vector<std::string> names;
    field_cursor fields(cleaned_header);
    std::string_view field;
    while (fields.next(field)) names.emplace_back(field);
    return names;
}

bool accept_row(std::string_view line, std::size_t column_count, std::vector<double>& values) {
    if (column_count == 0) return false;
    const std::size_t start = values.size();
    const char* p = line.data();
    const char* const end = p + line.size();
    // Each number is read where its field starts and must end where the field ends,
    // so a field is scanned once.
    for (std::size_t k = 0; k < column_count; ++k) {
        while (p < end) {
            const std::size_t ws = whitespace_length(p, end);
            if (ws == 0) break;
            p += ws;
        }
        double value;
        const char* const stop = p == end ? nullptr : scan_number(p, end, value);
        if (stop == nullptr || (stop != end && whitespace_length(stop, end) == 0)) {
            values.resize(start);
            return false;
        }
        values.push_back(value);
        p = stop;
    }
    return true;
}

column_table read_columns(std::string_view header, line_cursor rows) {
    column_table table;
    table.names = header_names(clean_line(header));
    std::string_view line;
    while (rows.next(line)) accept_row(line, table.names.size(), table.values);
    return table;
}

error file_too_short(std::string_view path) {
    std::string message(path);
    message += ": file too short";
    return value_error(std::move(message));
}

}  // namespace quor
