// Whole-file reading for the readers: bytes from a path, checked to be UTF-8.
#pragma once

#include <cstddef>
#include <memory>
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

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace quor
