// Reading a text file line by line through one growing block, with strict UTF-8 validation.
#include "readers/line_reader.h"
#include "readers/utf8.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

namespace quor {
namespace {

// The most read at once; a line longer than the block doubles it until the line fits.
constexpr std::size_t block_size = std::size_t{1} << 18;
// The least a first block holds, so that a file that grows after it was measured
// does not start from a block of a few bytes.
constexpr std::size_t smallest_block = 64;

// The system's text for an error number, as "No such file or directory".
std::string system_text(int error_number) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    return strerror_r(error_number, buffer, sizeof buffer);
}

// "{path}: {reason}{suffix}", with the number and the reason kept apart as well.
error read_failure(std::string_view path, std::string reason, int error_number = 0, std::string_view suffix = {}) {
    std::string message(path);
    message += ": ";
    message += reason;
    message += suffix;
    error failure = os_error(std::move(message));
    failure.error_number = error_number;
    failure.reason = std::move(reason);
    return failure;
}

// The failure for the system's error number `error_number` (read once, so that
// composing the message cannot change it): its text, then " (os error N)".
error system_failure(std::string_view path, int error_number) {
    return read_failure(path, system_text(error_number), error_number,
                        " (os error " + std::to_string(error_number) + ")");
}

// read(2), retried when a signal interrupts it.
ssize_t read_some(int fd, char* into, std::size_t size) noexcept {
    ssize_t got;
    do {
        got = ::read(fd, into, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

}  // namespace

outcome<line_reader> line_reader::open(std::string_view path) {
    if (path.find('\0') != std::string_view::npos)
        return read_failure(path, "file name contained an unexpected NUL byte");
    const std::string path_z(path);
    int fd;
    do {
        fd = ::open(path_z.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return system_failure(path, errno);

    // The size is only a hint: the file may grow or shrink while being read.
    std::size_t size_hint = block_size;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0)
        size_hint = static_cast<std::size_t>(info.st_size);
    return line_reader(path, fd, nullptr, size_hint);
}

outcome<line_reader> line_reader::open_regular(std::string_view path) {
    if (path.find('\0') != std::string_view::npos)
        return read_failure(path, "the path holds a NUL character", EINVAL);
    const std::string path_z(path);
    int fd;
    do {
        fd = ::open(path_z.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return system_failure(path, errno);
    struct stat info {};
    std::optional<error> refused;
    if (::fstat(fd, &info) != 0) refused = system_failure(path, errno);
    else if (S_ISDIR(info.st_mode)) refused = system_failure(path, EISDIR);
    else if (!S_ISREG(info.st_mode)) {
        const char* what = S_ISFIFO(info.st_mode)  ? "a named pipe"
                           : S_ISCHR(info.st_mode) ? "a character device"
                           : S_ISBLK(info.st_mode) ? "a block device"
                           : S_ISSOCK(info.st_mode) ? "a socket"
                                                    : "not a plain file";
        refused = read_failure(path, std::string("not a regular file but ") + what, EINVAL);
    }
    if (refused) {
        ::close(fd);
        return *refused;
    }
    return line_reader(path, fd, nullptr, info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0);
}

line_reader line_reader::from_source(std::string_view name, byte_source source,
                                     std::optional<std::size_t> size_hint) {
    return line_reader(name, -1, std::move(source), size_hint.value_or(block_size));
}

line_reader::line_reader(std::string_view path, int fd, byte_source source, std::size_t size_hint)
    // One spare byte lets a file of exactly the expected size end without a regrow.
    : path_(path),
      fd_(fd),
      source_(std::move(source)),
      capacity_(std::clamp(size_hint + 1, smallest_block, block_size)),
      size_hint_(size_hint) {
    try {
        buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

line_reader::line_reader(line_reader&& other) noexcept
    : path_(other.path_),
      fd_(std::exchange(other.fd_, -1)),
      source_(std::move(other.source_)),
      limits_(std::move(other.limits_)),
      buffer_(std::move(other.buffer_)),
      capacity_(other.capacity_),
      size_hint_(other.size_hint_),
      dropped_(other.dropped_),
      begin_(other.begin_),
      scanned_(other.scanned_),
      end_(other.end_),
      lines_(other.lines_),
      bad_line_(other.bad_line_),
      at_end_(other.at_end_),
      failed_on_(other.failed_on_),
      failure_(std::move(other.failure_)) {}

line_reader::~line_reader() {
    if (fd_ >= 0) ::close(fd_);
}

bool line_reader::next(std::string_view& line) {
    if (failure_) return false;  // the block may hold bytes read past a bad one
    const std::size_t longest = limits_.longest_line;
    for (;;) {
        const char* const base = buffer_.get();
        if (const void* const lf = std::memchr(base + scanned_, '\n', end_ - scanned_)) {
            const auto stop = static_cast<std::size_t>(static_cast<const char*>(lf) - base);
            if (longest != 0 && stop - begin_ > longest) return fail_on_long_line();
            return hand_out(stop, true, line);
        }
        scanned_ = end_;
        if (longest != 0 && end_ - begin_ > longest) return fail_on_long_line();
        if (at_end_) {
            if (begin_ == end_) return false;
            return hand_out(end_, false, line);  // the final line, without a line feed
        }
        if (!fill()) return false;
    }
}

// Hands out [begin_, stop), whose bytes fill() checked: up to the first line that
// is not UTF-8, which fails the read instead.
bool line_reader::hand_out(std::size_t stop, bool ends_in_lf, std::string_view& line) {
    if (begin_ == bad_line_) {
        fail_on_invalid_utf8();
        return false;
    }
    const char* const start = buffer_.get() + begin_;
    std::size_t length = stop - begin_;
    if (ends_in_lf && length > 0 && start[length - 1] == '\r') --length;
    line = std::string_view(start, length);
    begin_ = scanned_ = ends_in_lf ? stop + 1 : stop;
    ++lines_;
    return true;
}

bool line_reader::skip() {
    std::string_view ignored;
    return next(ignored);
}

const std::optional<error>& line_reader::finish() {
    while (skip()) {
    }
    return failure_;
}

// Called when [begin_, end_) holds no line feed. The bytes are checked for UTF-8
// as they arrive, up to the last line feed (which never sits inside a character)
// or, at the end of the file, to the last byte, so that no line is handed out
// before its bytes are checked.
bool line_reader::fill() {
    if (limits_.stop_requested && limits_.stop_requested()) {
        fail_on_stop();
        return false;
    }
    if (begin_ > 0) {  // keep the unfinished line, at the front
        dropped_ += begin_;
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        scanned_ -= begin_;
        begin_ = 0;
    }
    if (end_ == capacity_) {  // a line longer than the block
        auto larger = std::make_unique_for_overwrite<char[]>(capacity_ * 2);
        std::memcpy(larger.get(), buffer_.get(), end_);
        buffer_ = std::move(larger);
        capacity_ *= 2;
    }
    const std::size_t held = end_;  // bytes held before this read: no line feed, none checked
    const std::ptrdiff_t got = read_block(buffer_.get() + end_, capacity_ - end_);
    if (got < 0) return false;
    std::size_t checked_end = end_;
    if (got == 0) {
        at_end_ = true;
    } else {
        end_ += static_cast<std::size_t>(got);
        const void* const last_lf = ::memrchr(buffer_.get() + held, '\n', end_ - held);
        checked_end = last_lf == nullptr
                          ? 0
                          : static_cast<std::size_t>(static_cast<const char*>(last_lf) - buffer_.get()) + 1;
    }
    if (!is_valid_utf8(buffer_.get(), checked_end)) find_bad_line(checked_end);
    return true;
}

// Rare: [0, checked_end), whole lines, is not all UTF-8. Marks where the first
// line that is not begins; the lines before it are still handed out.
void line_reader::find_bad_line(std::size_t checked_end) {
    const char* const base = buffer_.get();
    std::size_t start = 0;
    while (start < checked_end) {
        const void* const lf = std::memchr(base + start, '\n', checked_end - start);
        const std::size_t stop = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - base) : checked_end;
        if (!is_valid_utf8(base + start, stop - start)) break;
        start = stop + 1;
    }
    bad_line_ = start;
}

std::ptrdiff_t line_reader::read_block(char* into, std::size_t size) {
    if (source_) {
        const std::ptrdiff_t got = source_(into, size);
        if (got < 0 || static_cast<std::size_t>(got) > size) fail_on_stop();
        return failure_ ? -1 : got;
    }
    const ssize_t got = read_some(fd_, into, size);
    if (got < 0) {
        failure_ = system_failure(path_, errno);
        failed_on_ = failure_kind::read;
    }
    return got;
}

bool line_reader::fail_on_long_line() {
    failure_ = value_error(std::string(path_) + ": line " + std::to_string(failed_line()) + " is longer than " +
                           std::to_string(limits_.longest_line) + " bytes");
    failed_on_ = failure_kind::long_line;
    return false;
}

// A read error later in the file takes precedence, as with a whole-file read, so
// the rest is read (and dropped) before the encoding is blamed.
void line_reader::fail_on_invalid_utf8() {
    for (;;) {
        if (limits_.stop_requested && limits_.stop_requested()) return fail_on_stop();
        const std::ptrdiff_t got = read_block(buffer_.get(), capacity_);
        if (got < 0) return;
        if (got == 0) break;
    }
    begin_ = scanned_ = end_ = 0;  // the block was overwritten
    failure_ = read_failure(path_, "stream did not contain valid UTF-8");
    failed_on_ = failure_kind::encoding;
}

void line_reader::fail_on_stop() {
    failure_ = value_error(std::string(path_) + ": the read was stopped");
    failed_on_ = failure_kind::stopped;
}

}  // namespace quor
