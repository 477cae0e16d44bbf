// Reading a text file line by line: the one place that opens files, reads blocks,
// grows the buffer, checks UTF-8 and divides the text into lines.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "common/outcome.h"

namespace quor {

// Bytes that do not come from a file of their own (text in memory, a stream the
// caller inflates): fills at most `size` bytes at `into` and returns how many, 0 at
// the end, or -1 when the supplier stops the read (it keeps the reason).
using byte_source = std::function<std::ptrdiff_t(char* into, std::size_t size)>;

// What a reader may ask beyond the module's rules, which set no limit: a reader of
// untrusted files bounds its memory and lets its caller stop it.
struct line_limits {
    // The longest line taken, in bytes before its line feed (a CR before the LF
    // counted); 0 for no limit. A longer line fails the read as soon as that many
    // bytes went by without a line feed, so it never costs more than the limit.
    std::size_t longest_line = 0;
    // Asked before each block is read; true stops the read (the caller knows why).
    std::function<bool()> stop_requested;
};

// Hands out the lines of a file through one reused block of memory: the lines
// that reading the whole file and dividing it at each LF would give (a CR before
// the LF goes with it; text after the last LF is a final line when not empty),
// and in the end the failure such a read would give: a read error wherever it
// happens, else invalid UTF-8 anywhere in the file. No line is handed out before
// its bytes are checked; the lines before the first one that is not UTF-8 are
// handed out, and failed_line() names it. A line stays valid until the next call
// that reads.
class line_reader {
public:
    // Opens the file at `path` (kept by reference for messages). Failures carry
    // "{path}: {reason}", the reason being the system's text for the error number
    // with " (os error N)", or a note about the path.
    static outcome<line_reader> open(std::string_view path);

    // Opens the file at `path` when it is a regular file: a directory fails with
    // EISDIR, a named pipe, device or socket with EINVAL and a reason naming what
    // it is. The file is opened without blocking, so a pipe never waits for a writer.
    static outcome<line_reader> open_regular(std::string_view path);

    // Lines from `source` instead of a file; `name` stands for the path in messages
    // and `size_hint` is the number of bytes expected, if known.
    static line_reader from_source(std::string_view name, byte_source source, std::optional<std::size_t> size_hint);

    // Sets limits before the first line is read.
    void limit(line_limits limits) { limits_ = std::move(limits); }

    line_reader(line_reader&& other) noexcept;
    line_reader& operator=(line_reader&&) = delete;
    line_reader(const line_reader&) = delete;
    line_reader& operator=(const line_reader&) = delete;
    ~line_reader();

    // Sets `line` to the next line and returns true; returns false at the end of
    // the file or on a failure, which failure() then holds.
    bool next(std::string_view& line);

    // Passes over the next line; false when there was none.
    bool skip();

    // Reads the rest of the file without handing it out, so that a reader that
    // stops early still reports what a whole-file read would; returns failure().
    const std::optional<error>& finish();

    const std::optional<error>& failure() const noexcept { return failure_; }

    // What the failure is: a read error (or the system's refusal to open), bytes
    // that are not UTF-8, a line beyond the limit, or a stop that was asked for.
    enum class failure_kind : unsigned char { none, read, encoding, long_line, stopped };
    failure_kind failed_on() const noexcept { return failed_on_; }
    bool failed_on_encoding() const noexcept { return failed_on_ == failure_kind::encoding; }

    // For a failure on encoding or on a long line: that line's number, from 1.
    std::size_t failed_line() const noexcept { return lines_ + 1; }

    // Bytes of the file handed out so far (lines with their line feeds), and the
    // file's size when it was opened (a guess for a file that is not regular).
    std::size_t position() const noexcept { return dropped_ + begin_; }
    std::size_t size_hint() const noexcept { return size_hint_; }

    // The failure if there is one, else `otherwise`: for a file whose content ran
    // out early, since a bad read or bad bytes take precedence over content errors.
    error failure_or(error otherwise) const { return failure_ ? *failure_ : std::move(otherwise); }

private:
    line_reader(std::string_view path, int fd, byte_source source, std::size_t size_hint);
    bool fill();  // reads one more block; false at the end of the file or on a failure
    void find_bad_line(std::size_t checked_end);
    std::ptrdiff_t read_block(char* into, std::size_t size);  // -1: failure_ is set
    bool hand_out(std::size_t stop, bool ends_in_lf, std::string_view& line);
    bool fail_on_long_line();
    void fail_on_invalid_utf8();
    void fail_on_stop();

    std::string_view path_;
    int fd_;
    byte_source source_;  // used when there is no file descriptor
    line_limits limits_;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_;
    std::size_t size_hint_;
    std::size_t dropped_ = 0;  // bytes handed out and no longer held
    std::size_t begin_ = 0;    // start of the first line not yet handed out
    std::size_t scanned_ = 0;  // [begin_, scanned_) holds no line feed
    std::size_t end_ = 0;      // bytes held
    std::size_t lines_ = 0;    // lines handed out
    std::size_t bad_line_ = no_bad_line;  // start of the first line that is not UTF-8, once met
    static constexpr std::size_t no_bad_line = static_cast<std::size_t>(-1);
    bool at_end_ = false;
    failure_kind failed_on_ = failure_kind::none;
    std::optional<error> failure_;
};

}  // namespace quor
