// Whole-file reading and strict UTF-8 validation.
#include "readers/text_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

namespace quor {
namespace {

// The system's text for an error number, as "No such file or directory (os error 2)".
std::string os_error_reason(int error_number) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(error_number, buffer, sizeof buffer);
    return std::string(text) + " (os error " + std::to_string(error_number) + ")";
}

error read_failure(std::string_view path, std::string_view reason) {
    std::string message(path);
    message += ": ";
    message += reason;
    return os_error(std::move(message));
}

outcome<file_descriptor> open_file(std::string_view path) {
    if (path.find('\0') != std::string_view::npos)
        return read_failure(path, "file name contained an unexpected NUL byte");
    const std::string path_z(path);
    int fd;
    do {
        fd = ::open(path_z.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return read_failure(path, os_error_reason(errno));
    return file_descriptor(fd);
}

}  // namespace

file_descriptor& file_descriptor::operator=(file_descriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

file_descriptor::~file_descriptor() {
    if (fd_ >= 0) ::close(fd_);
}

outcome<file_text> read_text_file(std::string_view path) {
    auto opened = open_file(path);
    if (!opened.ok()) return opened.failure();
    const file_descriptor file = std::move(opened).value();
    const int fd = file.get();

    // The size is only a hint: the file may grow or shrink while being read.
    std::size_t capacity = 0;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        capacity = static_cast<std::size_t>(info.st_size);

    // One spare byte lets a file of exactly the expected size end without a regrow.
    std::size_t allocated = capacity + 1;
    auto bytes = std::make_unique_for_overwrite<char[]>(allocated);
    std::size_t used = 0;
    for (;;) {
        if (used == allocated) {
            const std::size_t grown = allocated < 4096 ? 8192 : allocated * 2;
            auto larger = std::make_unique_for_overwrite<char[]>(grown);
            std::memcpy(larger.get(), bytes.get(), used);
            bytes = std::move(larger);
            allocated = grown;
        }
        const ssize_t got = ::read(fd, bytes.get() + used, allocated - used);
        if (got < 0) {
            if (errno == EINTR) continue;
            return read_failure(path, os_error_reason(errno));
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
    }
    file_text text(std::move(bytes), used);

    if (!is_valid_utf8(text.view())) return read_failure(path, "stream did not contain valid UTF-8");
    return text;
}

outcome<line_reader> line_reader::open(std::string_view path) {
    auto opened = open_file(path);
    if (!opened.ok()) return opened.failure();
    return line_reader(path, std::move(opened).value());
}

line_reader::line_reader(std::string_view path, file_descriptor file)
    : path_(path), file_(std::move(file)), capacity_(std::size_t{1} << 18) {
    buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
}

bool line_reader::fill() {
    if (begin_ > 0) {  // keep the unfinished line, at the front
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == capacity_) {  // a line longer than the buffer
        auto larger = std::make_unique_for_overwrite<char[]>(capacity_ * 2);
        std::memcpy(larger.get(), buffer_.get(), end_);
        buffer_ = std::move(larger);
        capacity_ *= 2;
    }
    for (;;) {
        const ssize_t got = ::read(file_.get(), buffer_.get() + end_, capacity_ - end_);
        if (got < 0) {
            if (errno == EINTR) continue;
            failure_ = read_failure(path_, os_error_reason(errno));
            return false;
        }
        if (got == 0) {
            at_end_ = true;
            return false;
        }
        end_ += static_cast<std::size_t>(got);
        return true;
    }
}

bool line_reader::next(std::string_view& line) {
    for (;;) {
        const char* const start = buffer_.get() + begin_;
        const void* const lf = std::memchr(start, '\n', end_ - begin_);
        std::size_t length;
        if (lf != nullptr) {
            length = static_cast<std::size_t>(static_cast<const char*>(lf) - start);
            begin_ += length + 1;
            if (length > 0 && start[length - 1] == '\r') --length;
        } else if (!at_end_) {
            if (!fill() && failure_) return false;
            continue;
        } else if (begin_ < end_) {  // the final line, without a line feed
            length = end_ - begin_;
            begin_ = end_;
        } else {
            if (invalid_utf8_) failure_ = read_failure(path_, "stream did not contain valid UTF-8");
            return false;
        }
        line = std::string_view(start, length);
        // A line feed never sits inside a UTF-8 sequence, so checking line by line
        // checks the whole file. After a bad line the rest is still read, since a
        // read error takes precedence, but no longer handed out.
        if (invalid_utf8_) continue;
        if (is_valid_utf8(line)) return true;
        invalid_utf8_ = true;
    }
}

bool is_valid_utf8(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* const end = p + bytes.size();
    while (p < end) {
        // Most output is ASCII: skip it eight bytes at a time.
        while (end - p >= 8) {
            std::uint64_t block;
            std::memcpy(&block, p, 8);
            if (block & 0x8080808080808080ULL) break;
            p += 8;
        }
        if (p == end) break;
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        std::ptrdiff_t length;
        unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;        // overlong
            else if (lead == 0xED) high = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;        // overlong
            else if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (end - p < length) return false;
        if (p[1] < low || p[1] > high) return false;
        for (std::ptrdiff_t k = 2; k < length; ++k)
            if ((p[k] & 0xC0) != 0x80) return false;
        p += length;
    }
    return true;
}

}  // namespace quor
