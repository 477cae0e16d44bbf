// Reading a table with a report of what was refused, from a file or from memory.
#include "readers/table_reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "readers/fields.h"
#include "readers/line_reader.h"
#include "readers/number.h"
#include "readers/table_rules.h"

namespace quor {
namespace {

constexpr std::string_view header_marker = "#Time";

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// An unsigned decimal integer, '+' allowed: a block's step or row count.
bool is_count(std::string_view field) noexcept {
    if (field.starts_with('+')) field.remove_prefix(1);
    if (field.empty()) return false;
    for (const char c : field)
        if (!is_digit(c)) return false;
    return true;
}

bool is_count_start(std::string_view field) noexcept {
    return field.empty() || field == "+" || is_count(field);
}

bool is_number(std::string_view field) noexcept { return parse_number(field).has_value(); }

std::vector<std::string_view> split(std::string_view line) {
    std::vector<std::string_view> fields;
    field_cursor cursor(line);
    std::string_view field;
    while (cursor.next(field)) fields.push_back(field);
    return fields;
}

bool has_fields(std::string_view line) noexcept {
    return skip_whitespace(line.data(), line.data() + line.size()) != line.data() + line.size();
}

// At most quoted_bytes of the line, cut at a character boundary.
std::string quote(std::string_view line) {
    if (line.size() <= quoted_bytes) return std::string(line);
    std::size_t end = quoted_bytes;
    while (end > 0 && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80) --end;
    return std::string(line.substr(0, end));
}

// What a row of `width` numbers looks like when its line was cut off mid-write:
// no more fields than columns, all numbers but the last, which may be unfinished.
bool is_cut_row(const std::vector<std::string_view>& fields, std::size_t width) {
    if (fields.empty() || fields.size() > width) return false;
    for (std::size_t k = 0; k + 1 < fields.size(); ++k)
        if (!is_number(fields[k])) return false;
    return is_number_start(fields.back());
}

// A block's first line: `width` fields, two counts (step, rows), then numbers.
bool is_block_start(const std::vector<std::string_view>& fields, std::size_t width) {
    if (fields.size() != width || width < 2 || !is_count(fields[0]) || !is_count(fields[1])) return false;
    for (std::size_t k = 2; k < fields.size(); ++k)
        if (!is_number(fields[k])) return false;
    return true;
}

bool is_cut_block_start(const std::vector<std::string_view>& fields, std::size_t width) {
    if (fields.empty() || fields.size() > width) return false;
    const std::size_t last = fields.size() - 1;
    for (std::size_t k = 0; k < last; ++k)
        if (k < 2 ? !is_count(fields[k]) : !is_number(fields[k])) return false;
    return last < 2 ? is_count_start(fields[last]) : is_number_start(fields[last]);
}

// A count's value, or nothing when it does not fit.
std::optional<std::size_t> count_value(std::string_view field) noexcept {
    if (field.starts_with('+')) field.remove_prefix(1);
    std::size_t value = 0;
    for (const char c : field) {
        const auto digit = static_cast<std::size_t>(c - '0');
        if (value > (SIZE_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// The walk over the lines of one table.
class table_scan {
public:
    table_scan(const table_request& request, table_read& out) : request_(request), out_(out) {}

    // Takes line `number` (from 0); false when reading stops here.
    bool take(std::size_t number, std::string_view line) {
        const bool is_header = request_.header ? number == *request_.header
                                               : number == 0 || trim_start(line).starts_with(header_marker);
        if (is_header) {
            start(number, line);
            return true;
        }
        if (!started_) return true;  // before the header (fixed layouts)
        if (pending_ || full_) {
            if (!has_fields(request_.clean_rows ? cleaned(line) : line)) return true;
            if (pending_) refuse(std::move(std::exchange(pending_, std::nullopt)->line));
            if (full_) {
                out_.stopped = true;
                return false;
            }
        }
        if (request_.block_fields == 0) take_row(number, line);
        else if (in_block_) take_block_row(number, line);
        else take_block_start(number, line);
        return true;
    }

    // Line `number` (from 0) is longer than the limit, and reading ends there: it
    // counts as a line with fields for a refusal held before it.
    void take_long_line(std::size_t number) {
        if (pending_) refuse(std::move(std::exchange(pending_, std::nullopt)->line));
        if (full_) out_.stopped = true;
        else out_.long_line = number + 1;
    }

    void finish() {
        if (out_.stopped) return;
        if (pending_) {
            if (!pending_->cut_like) refuse(std::move(pending_->line));
            else if (!in_block_)
                out_.cut = cut_off{pending_->line.line, std::move(pending_->line.text), pending_->line.bytes};
        }
        if (in_block_) {  // its rows are left out
            for (auto& column : out_.columns) column.truncate(block_.first_row);
            out_.steps.truncate(block_.first_row);
            out_.cut = cut_off{block_.line, std::move(block_.text), block_.bytes, true, block_.present, block_.expected};
        }
    }

private:
    struct candidate {
        refused_line line;
        bool cut_like;  // the beginning of what was expected there: the file may end with it
    };

    void start(std::size_t number, std::string_view line) {
        std::string text;
        clean_line(line, text);
        out_.names = header_names(text);
        out_.columns = std::vector<bulk_array<double>>(out_.names.size());
        out_.steps = bulk_array<double>();
        out_.header_line = number + 1;
        out_.header_text = quote(line);
        started_ = true;
        out_.refused.clear();
        out_.comments = 0;
        out_.blocks = 0;
        pending_.reset();
        full_ = false;
        in_block_ = false;
    }

    std::string_view cleaned(std::string_view line) {
        clean_line(line, cleaned_);
        return cleaned_;
    }

    std::size_t rows() const { return out_.columns.empty() ? 0 : out_.columns[0].size(); }

    void refuse(refused_line line) {
        out_.refused.push_back(std::move(line));
        full_ = out_.refused.size() >= request_.refused_limit;
    }

    void hold(std::size_t number, refusal reason, std::string_view line, bool cut_like) {
        pending_ = candidate{{number + 1, reason, quote(line), line.size()}, cut_like};
    }

    // The row in `line` taken into the columns; where its last column ends, or
    // nullptr when refused. With clean_rows a refused line holding '#' is tried
    // again without it, and `used` is what was taken.
    const char* accept(std::string_view line, std::string_view& used) {
        used = line;
        const char* stop = accept_row_end(line, out_.columns);
        if (stop == nullptr && request_.clean_rows && line.find('#') != std::string_view::npos) {
            used = cleaned(line);
            stop = accept_row_end(used, out_.columns);
        }
        return stop;
    }

    static bool extra_fields(const char* stop, std::string_view used) {
        return has_fields(used.substr(static_cast<std::size_t>(stop - used.data())));
    }

    // A line that is neither a row nor blank: a comment, or held as refused.
    void other(std::size_t number, std::string_view line, std::string_view seen, refusal reason,
               bool (*cut_like)(const std::vector<std::string_view>&, std::size_t), std::size_t width) {
        const std::vector<std::string_view> fields = split(seen);
        if (fields.empty()) return;
        if (trim_start(line).starts_with('#')) {
            ++out_.comments;
            return;
        }
        hold(number, reason, line, cut_like(fields, width));
    }

    void take_row(std::size_t number, std::string_view line) {
        if (request_.header && trim_start(line).starts_with(header_marker)) {
            hold(number, refusal::header_again, line, false);
            return;
        }
        std::string_view used;
        if (const char* const stop = accept(line, used)) {
            if (extra_fields(stop, used)) refuse({number + 1, refusal::extra_fields, quote(line), line.size()});
            return;
        }
        other(number, line, request_.clean_rows ? cleaned(line) : line, refusal::not_a_row, is_cut_row,
              out_.names.size());
    }

    void take_block_start(std::size_t number, std::string_view line) {
        if (trim_start(line).starts_with(header_marker)) {
            hold(number, refusal::header_again, line, false);
            return;
        }
        const std::vector<std::string_view> fields = split(line);
        if (is_block_start(fields, request_.block_fields)) {
            const auto expected = count_value(fields[1]);
            if (expected) {
                block_ = {number + 1, quote(line), line.size(), *parse_number(fields[0]), rows(), 0, *expected};
                in_block_ = true;
                complete_block();
                return;
            }
        }
        other(number, line, line, refusal::not_block_start, is_cut_block_start, request_.block_fields);
    }

    void take_block_row(std::size_t number, std::string_view line) {
        if (trim_start(line).starts_with(header_marker)) {
            hold(number, refusal::header_again, line, false);
            return;
        }
        std::string_view used;
        if (const char* const stop = accept(line, used)) {
            if (extra_fields(stop, used)) {
                for (auto& column : out_.columns) column.truncate(out_.steps.size());
                hold(number, refusal::extra_fields, line, false);
                return;
            }
            out_.steps.push_back(block_.step);
            ++block_.present;
            complete_block();
            return;
        }
        other(number, line, line, refusal::not_a_row, is_cut_row, out_.names.size());
    }

    void complete_block() {
        if (block_.present < block_.expected) return;
        in_block_ = false;
        ++out_.blocks;
    }

    struct open_block {
        std::size_t line = 0;
        std::string text;
        std::size_t bytes = 0;
        double step = 0;
        std::size_t first_row = 0;
        std::size_t present = 0;
        std::size_t expected = 0;
    };

    const table_request& request_;
    table_read& out_;
    std::string cleaned_;
    std::optional<candidate> pending_;
    bool started_ = false;
    bool full_ = false;  // refused_limit reached: the next line with fields stops the reading
    bool in_block_ = false;
    open_block block_;
};

}  // namespace

bool is_number_start(std::string_view field) noexcept {
    if (field.starts_with('+') || field.starts_with('-')) field.remove_prefix(1);
    if (field.empty()) return true;
    std::size_t k = 0;
    const auto digits = [&] {
        while (k < field.size() && is_digit(field[k])) ++k;
    };
    if (is_digit(field[0]) || field[0] == '.') {
        if (field[0] == '.') ++k;
        else {
            digits();
            if (k < field.size() && field[k] == '.') ++k;
        }
        digits();
        if (k < field.size() && (field[k] == 'e' || field[k] == 'E')) {
            ++k;
            if (k < field.size() && (field[k] == '+' || field[k] == '-')) ++k;
            digits();
        }
        return k == field.size();
    }
    for (const std::string_view word : {std::string_view("infinity"), std::string_view("nan")}) {
        if (field.size() > word.size()) continue;
        bool same = true;
        for (std::size_t j = 0; j < field.size() && same; ++j)
            same = (field[j] | 0x20) == word[j];
        if (same) return true;
    }
    return false;
}

namespace {

// The table in the lines of `lines`, read until the scan stops or the lines end.
outcome<table_read> read_table_lines(line_reader& lines, const table_request& request) {
    lines.limit(request.limits);
    table_read out;
    table_scan scan(request, out);
    std::string_view line;
    for (std::size_t number = 0; lines.next(line); ++number)
        if (!scan.take(number, line)) return out;
    switch (lines.failed_on()) {
        case line_reader::failure_kind::none:
            scan.finish();
            return out;
        case line_reader::failure_kind::encoding: {
            table_read failed;
            failed.not_utf8_line = lines.failed_line();
            return failed;
        }
        case line_reader::failure_kind::long_line:
            scan.take_long_line(lines.failed_line() - 1);
            return out;
        case line_reader::failure_kind::read:
        case line_reader::failure_kind::stopped:
            break;
    }
    return *lines.failure();
}

}  // namespace

outcome<table_read> read_table_text(std::string_view text, const table_request& request) {
    line_reader lines = line_reader::from_source(
        {}, [rest = text](char* into, std::size_t size) mutable {
            const std::size_t count = std::min(size, rest.size());
            if (count > 0) std::memcpy(into, rest.data(), count);
            rest.remove_prefix(count);
            return static_cast<std::ptrdiff_t>(count);
        },
        text.size());
    return read_table_lines(lines, request);
}

outcome<table_read> read_table_file(std::string_view path, const table_request& request) {
    auto opened = line_reader::open_regular(path);
    if (!opened.ok()) return opened.failure();
    return read_table_lines(opened.value(), request);
}

outcome<table_read> read_table_stream(std::string_view name, byte_source source, const table_request& request) {
    line_reader lines = line_reader::from_source(name, std::move(source), std::nullopt);
    return read_table_lines(lines, request);
}

}  // namespace quor
