#include "pelda/io/line_reader.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "pelda/io/path.hpp"
#include "pelda/io/utf8.hpp"

namespace pelda {

Error invalid_utf8_error() { return make_error(ErrorKind::Io, "stream did not contain valid UTF-8"); }

Error line_too_long_error() {
  return make_error(ErrorKind::Io,
                    "stream contained a line longer than " + std::to_string(LineReader::max_line_bytes) + " bytes");
}

Result<LineReader> LineReader::open(const std::string& path) {
  if (Status s = check_path_text(path); !s) return s.error();
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return io_error(errno);
  return LineReader(fd);
}

LineReader::LineReader(int fd) : fd_(fd), buffer_(buffer_size, '\0') {}

LineReader::LineReader(LineReader&& other) noexcept
    : fd_(other.fd_),
      buffer_(std::move(other.buffer_)),
      begin_(other.begin_),
      end_(other.end_),
      eof_(other.eof_),
      pending_(std::move(other.pending_)),
      checked_(other.checked_) {
  other.fd_ = -1;
}

LineReader& LineReader::operator=(LineReader&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
    buffer_ = std::move(other.buffer_);
    begin_ = other.begin_;
    end_ = other.end_;
    eof_ = other.eof_;
    pending_ = std::move(other.pending_);
    checked_ = other.checked_;
  }
  return *this;
}

LineReader::~LineReader() {
  if (fd_ >= 0) ::close(fd_);
}

Status LineReader::fill() {
  begin_ = end_ = 0;
  ssize_t n;
  do {
    n = ::read(fd_, buffer_.data(), buffer_.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) return io_error(errno);
  if (n == 0) eof_ = true;
  end_ = std::size_t(n);
  return {};
}

// Validates the gathered part of a long line as it grows, so that binary
// input fails at its first bad byte instead of being gathered whole. A
// sequence cut by the refill boundary is left for the next round.
bool LineReader::check_pending() {
  const std::string_view p = pending_;
  while (checked_ < p.size()) {
    const unsigned char b = (unsigned char)p[checked_];
    if (b < 0x80) {
      ++checked_;
      continue;
    }
    const std::size_t n = utf8_sequence_size(b);
    if (n == 0) return false;
    if (checked_ + n > p.size()) return true;
    if (!is_valid_utf8(p.substr(checked_, n))) return false;
    checked_ += n;
  }
  return true;
}

Result<bool> LineReader::finish_line(std::string_view* line, std::string_view tail, bool at_newline) {
  std::string_view s = tail, unchecked = tail;
  if (!pending_.empty()) {
    if (pending_.size() + tail.size() > max_line_bytes) return line_too_long_error();
    pending_.append(tail);
    s = pending_;
    unchecked = s.substr(checked_);
  }
  if (!is_valid_utf8(unchecked)) return invalid_utf8_error();
  if (at_newline && !s.empty() && s.back() == '\r') s.remove_suffix(1);
  *line = s;
  return true;
}

Result<bool> LineReader::next(std::string_view* line) {
  pending_.clear();
  checked_ = 0;
  for (;;) {
    if (begin_ == end_) {
      if (eof_) {
        if (pending_.empty()) return false;
        return finish_line(line, {}, false);
      }
      if (Status s = fill(); !s) return s.error();
      continue;
    }
    const char* start = buffer_.data() + begin_;
    const std::size_t avail = end_ - begin_;
    const void* nl = std::memchr(start, '\n', avail);
    if (nl) {
      const std::size_t len = std::size_t(static_cast<const char*>(nl) - start);
      begin_ += len + 1;
      return finish_line(line, std::string_view(start, len), true);
    }
    pending_.append(start, avail);
    begin_ = end_;
    if (!check_pending()) return invalid_utf8_error();
    if (pending_.size() > max_line_bytes) return line_too_long_error();
  }
}

}  // namespace pelda
