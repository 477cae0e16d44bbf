// Reader of LAMMPS logs: the atom count written after a line that mentions a group.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "readers/fields.h"
#include "readers/line_reader.h"
#include "readers/readers.h"

namespace quor {
namespace {

// An unsigned decimal that fits in 64 bits: one optional '+', then digits only
// (leading zeros allowed).
std::optional<std::uint64_t> parse_count(std::string_view token) noexcept {
    if (!token.empty() && token.front() == '+') token.remove_prefix(1);
    if (token.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : token) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// Substring test in time linear in the line (memmem's two-way search), however
// long and repetitive the group name.
bool mentions(std::string_view line, std::string_view mention) noexcept {
    return ::memmem(line.data(), line.size(), mention.data(), mention.size()) != nullptr;
}

}  // namespace

outcome<std::uint64_t> read_group_count(std::string_view log_path, std::string_view group_name) {
    auto opened = line_reader::open(log_path);
    if (!opened.ok()) return opened.failure();
    line_reader& lines = opened.value();

    std::string mention = "group ";
    mention += group_name;

    // A mention whose next line does not start with a valid count is passed over;
    // that next line is then tested for a mention like any other.
    bool previous_mentions = false;
    std::string_view line;
    while (lines.next(line)) {
        if (previous_mentions) {
            field_cursor fields(line);
            std::string_view token;
            if (fields.next(token)) {
                if (const auto count = parse_count(token)) {
                    if (lines.finish()) return *lines.failure();
                    return *count;
                }
            }
        }
        previous_mentions = mentions(line, mention);
    }
    std::string message = "Group '";
    message += group_name;
    message += "' count not found in '";
    message += log_path;
    message += "'";
    return lines.failure_or(value_error(std::move(message)));
}

}  // namespace quor
