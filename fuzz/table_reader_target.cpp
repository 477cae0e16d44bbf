// Fuzz target for the package's table reader: the first input byte chooses the
// layout options, the rest is the file. The same bytes are read from memory and,
// through an in-memory file, by path; both reads must agree exactly, and the
// report must be one the package can trust: equal-length columns, a step for
// every row of blocks, refused lines after the header in increasing order, and
// quoted text in valid UTF-8 of bounded length.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "readers/table_reader.h"
#include "readers/utf8.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

int input_fd() {
    static const int fd = [] {
        const int made = memfd_create("fuzz-table", MFD_CLOEXEC);
        if (made < 0) fail("memfd_create");
        return made;
    }();
    return fd;
}

void write_input(std::string_view text) {
    const int fd = input_fd();
    if (ftruncate(fd, 0) != 0) fail("ftruncate");
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = pwrite(fd, text.data() + written, text.size() - written, static_cast<off_t>(written));
        if (n <= 0) fail("pwrite");
        written += static_cast<std::size_t>(n);
    }
}

bool same_values(const quor::bulk_array<double>& a, const quor::bulk_array<double>& b) {
    return a.size() == b.size() && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

void check_text(const std::string& text) {
    if (text.size() > quor::quoted_bytes) fail("a quoted line longer than the bound");
    if (!quor::is_valid_utf8(text.data(), text.size())) fail("a quoted line that is not UTF-8");
}

void check(const quor::table_read& table, const quor::table_request& request) {
    if (table.not_utf8_line != 0) return;
    if (table.columns.size() != table.names.size()) fail("a column without a name, or a name without one");
    const std::size_t rows = table.columns.empty() ? 0 : table.columns[0].size();
    for (const auto& column : table.columns)
        if (column.size() != rows) fail("columns of unequal length");
    if (request.block_fields > 0 && !table.columns.empty() && table.steps.size() != rows)
        fail("rows of blocks without their step");
    std::size_t previous = table.header_line;
    for (const quor::refused_line& line : table.refused) {
        if (line.line <= previous) fail("refused lines out of order or before the header");
        previous = line.line;
        check_text(line.text);
    }
    if (table.refused.size() > request.refused_limit) fail("more refused lines than the limit");
    if (table.cut) {
        check_text(table.cut->text);
        if (table.cut->line <= table.header_line) fail("a cut-off line before the header");
        if (table.cut->block && table.cut->present >= table.cut->expected) fail("a whole block reported cut off");
    }
    check_text(table.header_text);
}

void compare(const quor::table_read& a, const quor::table_read& b) {
    if (a.not_utf8_line != b.not_utf8_line || a.names != b.names || a.header_line != b.header_line ||
        a.blocks != b.blocks || a.comments != b.comments || a.stopped != b.stopped ||
        a.refused.size() != b.refused.size() || a.cut.has_value() != b.cut.has_value() || !same_values(a.steps, b.steps))
        fail("the reads from memory and by path disagree");
    for (std::size_t k = 0; k < a.columns.size(); ++k)
        if (!same_values(a.columns[k], b.columns[k])) fail("the columns from memory and by path disagree");
    for (std::size_t k = 0; k < a.refused.size(); ++k)
        if (a.refused[k].line != b.refused[k].line || a.refused[k].reason != b.refused[k].reason)
            fail("the refused lines from memory and by path disagree");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned options = data[0];
    quor::table_request request;
    if (options & 3u) request.header = (options & 3u) - 1;
    request.clean_rows = (options & 4u) != 0;
    request.block_fields = (options >> 3) & 7u;
    request.refused_limit = 1 + (options >> 6);
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    auto from_memory = quor::read_table_text(text, request);
    if (!from_memory.ok()) fail("reading from memory failed");
    check(from_memory.value(), request);

    write_input(text);
    const std::string path = "/proc/self/fd/" + std::to_string(input_fd());
    auto by_path = quor::read_table_file(path, request);
    if (!by_path.ok()) fail("reading an in-memory file by path failed");
    compare(from_memory.value(), by_path.value());
    return 0;
}
