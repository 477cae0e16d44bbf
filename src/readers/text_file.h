// Whole-file reading for the readers: bytes from a path, checked to be UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "common/outcome.h"

namespace quor {

// Reads the file at `path` in one piece. Failures carry the message
// "{path}: {reason}", the reason being the system's text for the error number
// with " (os error N)", or a note about the path or the encoding.
outcome<std::string> read_text_file(std::string_view path);

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace quor
