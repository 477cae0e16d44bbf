// Fuzz target for one reader (chosen by FUZZED_READER at build time): the input bytes
// are the file, handed over by path through an in-memory file. Besides the
// sanitizers' checks, a result must be one the call boundary can turn into Python
// objects: equal-length columns, names and messages in valid UTF-8.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "readers/readers.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "fuzz check failed: %s: %.*s\n", what, static_cast<int>(detail.size()),
                 detail.data());
    std::abort();
}

// Strict UTF-8 as Python decodes it: no overlong forms, no surrogates, nothing
// above U+10FFFF.
bool valid_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    while (p < end) {
        const unsigned c = *p++;
        if (c < 0x80) continue;
        int more;
        unsigned low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) more = 1;
        else if (c == 0xE0) more = 2, low = 0xA0;
        else if (c == 0xED) more = 2, high = 0x9F;
        else if (c >= 0xE1 && c <= 0xEF) more = 2;
        else if (c == 0xF0) more = 3, low = 0x90;
        else if (c >= 0xF1 && c <= 0xF3) more = 3;
        else if (c == 0xF4) more = 3, high = 0x8F;
        else return false;
        for (int k = 0; k < more; ++k, low = 0x80, high = 0xBF) {
            if (p == end || *p < low || *p > high) return false;
            ++p;
        }
    }
    return true;
}

// One in-memory file for the whole run, rewritten for each input.
const std::string& input_path() {
    static const std::string path = [] {
        const int fd = memfd_create("fuzz-input", MFD_CLOEXEC);
        if (fd < 0) fail("memfd_create");
        return "/proc/self/fd/" + std::to_string(fd);
    }();
    return path;
}

void write_input(const std::uint8_t* data, std::size_t size) {
    const int fd = std::stoi(input_path().substr(std::string_view("/proc/self/fd/").size()));
    if (ftruncate(fd, 0) != 0) fail("ftruncate");
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = pwrite(fd, data + written, size - written, static_cast<off_t>(written));
        if (n <= 0) fail("pwrite");
        written += static_cast<std::size_t>(n);
    }
}

void check_failure(const quor::error& failure, const std::string& path) {
    if (failure.message.empty()) fail("empty error message");
    if (!valid_utf8(failure.message)) fail("error message is not UTF-8", failure.message);
    if (failure.kind == quor::error_kind::os_error && failure.message.rfind(path + ": ", 0) != 0)
        fail("OSError message does not start with the path", failure.message);
}

void check(quor::outcome<quor::column_table> result, const std::string& path) {
    if (!result.ok()) return check_failure(result.failure(), path);
    const quor::column_table& table = result.value();
    for (const std::string& name : table.names) {
        if (name.empty()) fail("empty column name");
        if (!valid_utf8(name)) fail("column name is not UTF-8", name);
    }
    if (table.columns.size() != table.names.size()) fail("a column without a name, or a name without one");
    for (const auto& column : table.columns)
        if (column.size() != table.row_count()) fail("columns of unequal length");
}

template <class T>
void check(quor::outcome<T> result, const std::string& path) {
    if (!result.ok()) check_failure(result.failure(), path);
}

// read_group_count also takes a group name: the text after the input's last NUL
// byte when there is one and it is valid UTF-8 (as a Python str would be).
[[maybe_unused]] std::string group_name(const std::uint8_t* data, std::size_t& size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = bytes.rfind('\0');
    if (nul == std::string_view::npos || !valid_utf8(bytes.substr(nul + 1))) return "water";
    size = nul;
    return std::string(bytes.substr(nul + 1));
}

}  // namespace

// The readers by the names FUZZED_READER takes; the transport reader is run as the
// module runs it, handing its rows to a sink.
namespace fuzzed {

using quor::parse_bond_angle;
using quor::parse_thermoprop;
using quor::parse_volume_density;
using quor::read_group_count;

// Collects the rows into a column table, checking that every hand-over is whole.
class collecting_sink final : public quor::row_sink {
public:
    explicit collecting_sink(quor::column_table& table) : table_(table) {}

    void start(std::span<const std::string> names) override {
        table_.start(std::vector<std::string>(names.begin(), names.end()));
    }

    void take(std::span<const quor::bulk_array<double>> block, std::size_t rows_expected) override {
        if (block.size() != table_.columns.size()) fail("a block without a column for every name");
        if (rows_expected < block[0].size()) fail("fewer rows expected than handed over");
        for (std::size_t k = 0; k < block.size(); ++k) {
            if (block[k].size() != block[0].size()) fail("a block of unequal columns");
            for (const double value : block[k]) table_.columns[k].push_back(value);
        }
    }

private:
    quor::column_table& table_;
};

quor::outcome<quor::column_table> read_quor_file(std::string_view path) {
    quor::column_table table;
    collecting_sink sink(table);
    auto names = quor::read_quor_file(path, sink);
    if (!names.ok()) return names.failure();
    if (names.value() != table.names) fail("the names returned are not those handed to the sink");
    return table;
}

}  // namespace fuzzed

namespace {

template <class Reader>
void run(Reader reader, const std::uint8_t* data, std::size_t size) {
    const std::string& path = input_path();
    if constexpr (std::is_invocable_v<Reader, std::string_view>) {
        write_input(data, size);
        check(reader(path), path);
    } else {
        const std::string name = group_name(data, size);
        write_input(data, size);
        check(reader(path, name), path);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    run(&fuzzed::FUZZED_READER, data, size);
    return 0;
}
