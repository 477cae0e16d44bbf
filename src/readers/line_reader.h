// Reading a text file line by line: the one place that opens files, reads blocks,
// grows the buffer, checks UTF-8 and divides the text into lines.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "common/outcome.h"

namespace quor {

// Hands out the lines of a file through one reused block of memory: the lines
// that reading the whole file and dividing it at each LF would give (a CR before
// the LF goes with it; text after the last LF is a final line when not empty),
// and in the end the failure such a read would give: a read error wherever it
// happens, else invalid UTF-8 anywhere in the file. A line stays valid until the
// next call that reads.
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

    // True when the failure is bytes that are not UTF-8 (not a read error).
    bool failed_on_encoding() const noexcept { return bad_encoding_; }

    // Bytes of the file handed out so far (lines with their line feeds), and the
    // file's size when it was opened (a guess for a file that is not regular).
    std::size_t position() const noexcept { return dropped_ + begin_; }
    std::size_t size_hint() const noexcept { return size_hint_; }

    // The failure if there is one, else `otherwise`: for a file whose content ran
    // out early, since a bad read or bad bytes take precedence over content errors.
    error failure_or(error otherwise) const { return failure_ ? *failure_ : std::move(otherwise); }

private:
    line_reader(std::string_view path, int fd, std::size_t size_hint);
    bool fill();  // reads one more block; false at the end of the file or on a failure
    void fail_on_invalid_utf8();

    std::string_view path_;
    int fd_;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_;
    std::size_t size_hint_;
    std::size_t dropped_ = 0;  // bytes handed out and no longer held
    std::size_t begin_ = 0;    // start of the first line not yet handed out
    std::size_t scanned_ = 0;  // [begin_, scanned_) holds no line feed
    std::size_t end_ = 0;      // bytes held
    bool at_end_ = false;
    bool bad_encoding_ = false;
    std::optional<error> failure_;
};

}  // namespace quor
