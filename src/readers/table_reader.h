// Reading a table of the package's layouts, reporting everything a caller needs to
// judge the file: where the header is, which lines were refused and why, whether
// the file was cut off mid-write. The rows are taken by the same rules as the
// column readers of the module (accept_row, clean_line), so the columns of a
// transport table are exactly the module's.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/bulk_array.h"
#include "common/outcome.h"
#include "readers/line_reader.h"

namespace quor {

struct table_request {
    // Line (from 0) holding the column names. None: the transport rule, the last
    // line starting with "#Time" (leading whitespace aside), else line 0.
    std::optional<std::size_t> header;
    // A row refused as it stands and holding a '#' is tried again without its '#'
    // (the transport rule); otherwise rows are taken as they stand.
    bool clean_rows = false;
    // Non-zero: the rows come in blocks, each led by a line of exactly this many
    // fields "step rows ..." (two unsigned integers, then numbers), followed by
    // that many rows; each row gets its block's step.
    std::size_t block_fields = 0;
    // Reading stops once this many lines were refused and another line follows.
    std::size_t refused_limit = 1;
    // The longest line and the caller's stop, as line_reader takes them.
    line_limits limits;
};

enum class refusal : unsigned char {
    not_a_row,        // not as many numbers as there are columns
    extra_fields,     // a row with more fields than columns (taken by the module's rule)
    not_block_start,  // where a block's first line belongs
    header_again,     // a line starting with "#Time" among the rows
};

// A line refused, numbered from 1, with at most `quoted_bytes` of its text.
struct refused_line {
    std::size_t line;
    refusal reason;
    std::string text;
    std::size_t bytes;  // the whole line's length
};

// The last line (or block) that ended early: the file was cut off while being
// written. For a block, `present` of `expected` rows were there; none was kept.
struct cut_off {
    std::size_t line;
    std::string text;
    std::size_t bytes;  // the whole line's length
    bool block = false;
    std::size_t present = 0;
    std::size_t expected = 0;
};

struct table_read {
    std::vector<std::string> names;             // the header's fields, repeats included
    std::vector<bulk_array<double>> columns;    // one per name
    bulk_array<double> steps;                   // blocks: each row's step
    std::size_t header_line = 0;                // from 1; 0 when the file has no lines
    std::string header_text;                    // at most quoted_bytes of it
    std::size_t blocks = 0;                     // complete blocks
    std::size_t comments = 0;                   // lines starting with '#' that are no row
    std::vector<refused_line> refused;
    bool stopped = false;                       // the refused_limit ended the reading
    std::optional<cut_off> cut;
    std::size_t not_utf8_line = 0;              // from 1: the first line that is not UTF-8 (nothing else is set)
    std::size_t long_line = 0;                  // from 1: a line beyond limits.longest_line, where reading ended
};

// Bytes of a line's text kept in a report.
inline constexpr std::size_t quoted_bytes = 400;

// Every source is read line by line through one line_reader, so a table costs its
// columns and one block, whatever the size of what it is read from.

// The table in `text` (the whole content of a file).
outcome<table_read> read_table_text(std::string_view text, const table_request& request);

// The table of the regular file at `path`. A directory, a named pipe, a device or
// a socket is refused before anything is read (so a pipe never blocks); read
// failures are os_error with error_number set.
outcome<table_read> read_table_file(std::string_view path, const table_request& request);

// The table in the bytes that `source` hands out (`name` stands for a path in
// messages). When the source stops the read, the result is the failure of a stop.
outcome<table_read> read_table_stream(std::string_view name, byte_source source, const table_request& request);

// True when `field` may be the beginning of a number cut off while being written
// ("3.1e+", "-", "in"): what the last field of a cut-off row looks like.
bool is_number_start(std::string_view field) noexcept;

}  // namespace quor
