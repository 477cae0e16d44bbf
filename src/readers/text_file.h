// Whole-file reading for the readers: bytes from a path, checked to be UTF-8.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "common/outcome.h"

namespace quor {

// The bytes of a file, held without being zero-filled first.
class file_text {
public:
    file_text() = default;
    file_text(std::unique_ptr<char[]> bytes, std::size_t size) noexcept
        : bytes_(std::move(bytes)), size_(size) {}
    std::string_view view() const noexcept { return {bytes_.get(), size_}; }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_ = 0;
};

// Reads the file at `path` in one piece. Failures carry the message
// "{path}: {reason}", the reason being the system's text for the error number
// with " (os error N)", or a note about the path or the encoding.
outcome<file_text> read_text_file(std::string_view path);

// An open file, closed when the holder goes.
class file_descriptor {
public:
    explicit file_descriptor(int fd = -1) noexcept : fd_(fd) {}
    file_descriptor(file_descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    file_descriptor& operator=(file_descriptor&& other) noexcept;
    file_descriptor(const file_descriptor&) = delete;
    file_descriptor& operator=(const file_descriptor&) = delete;
    ~file_descriptor();
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// Reads a file line by line through one reused block of memory. It yields the
// lines that reading the whole file and dividing it would give, and ends with
// the same failure: a read error wherever it happens, else invalid UTF-8
// anywhere in the file. Lines stay valid until the next call of next().
class line_reader {
public:
    static outcome<line_reader> open(std::string_view path);

    // Sets `line` to the next line and returns true; returns false at the end of
    // the file or on a failure, which failure() then holds.
    bool next(std::string_view& line);
    const std::optional<error>& failure() const noexcept { return failure_; }

private:
    line_reader(std::string_view path, file_descriptor file);
    bool fill();  // reads more bytes; false at the end or on a read error

    std::string_view path_;
    file_descriptor file_;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0, begin_ = 0, end_ = 0;
    bool at_end_ = false, invalid_utf8_ = false;
    std::optional<error> failure_;
};

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace quor
