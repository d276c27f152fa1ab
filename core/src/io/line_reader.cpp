#include "pelda/io/line_reader.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

#include "pelda/io/path.hpp"
#include "pelda/io/utf8.hpp"

namespace pelda {

Error invalid_utf8_error() { return make_error(ErrorKind::Io, "stream did not contain valid UTF-8"); }

Error line_too_long_error() {
  return make_error(ErrorKind::Io,
                    "stream contained a line longer than " + std::to_string(LineReader::max_line_bytes) + " bytes");
}

Result<LineReader> LineReader::open(const std::string& path, std::uint64_t max_inflated) {
  if (Status s = check_path_text(path); !s) return s.error();
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return io_error(errno);
  LineReader reader(fd, path);
  if (Status s = reader.start(max_inflated); !s) return s.error();
  return reader;
}

LineReader::LineReader(int fd, std::string path) : fd_(fd), buffer_(buffer_size, '\0'), path_(std::move(path)) {}

LineReader::LineReader(LineReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      buffer_(std::move(other.buffer_)),
      begin_(other.begin_),
      end_(other.end_),
      eof_(other.eof_),
      pending_(std::move(other.pending_)),
      checked_(other.checked_),
      path_(std::move(other.path_)),
      gzip_(std::move(other.gzip_)),
      packed_(std::move(other.packed_)),
      packed_eof_(other.packed_eof_),
      inflated_(other.inflated_),
      max_inflated_(other.max_inflated_) {}

LineReader& LineReader::operator=(LineReader&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    buffer_ = std::move(other.buffer_);
    begin_ = other.begin_;
    end_ = other.end_;
    eof_ = other.eof_;
    pending_ = std::move(other.pending_);
    checked_ = other.checked_;
    path_ = std::move(other.path_);
    gzip_ = std::move(other.gzip_);
    packed_ = std::move(other.packed_);
    packed_eof_ = other.packed_eof_;
    inflated_ = other.inflated_;
    max_inflated_ = other.max_inflated_;
  }
  return *this;
}

LineReader::~LineReader() {
  if (fd_ >= 0) ::close(fd_);
}

Status LineReader::read_some(char* out, std::size_t capacity, std::size_t* got) {
  ssize_t n;
  do {
    n = ::read(fd_, out, capacity);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return io_error(errno);
  *got = std::size_t(n);
  return {};
}

// Reads the first bytes (two at least, unless the file is shorter) to tell
// gzip from plain text. Plain bytes stay in the line buffer; gzip bytes
// move to the compressed buffer, and the line buffer grows, since inflating
// in larger pieces costs less per byte.
Status LineReader::start(std::uint64_t max_inflated) {
  while (end_ < 2) {
    std::size_t got = 0;
    if (Status s = read_some(buffer_.data() + end_, buffer_.size() - end_, &got); !s) return s;
    if (got == 0) {
      eof_ = true;
      break;
    }
    end_ += got;
  }
  if (!starts_gzip(std::string_view(buffer_).substr(0, end_))) return {};
  gzip_ = std::make_unique<GzipInflater>();
  max_inflated_ = max_inflated;
  packed_.assign(buffer_, 0, end_);
  packed_.resize(8 * buffer_size);
  gzip_->give(packed_.data(), end_);
  packed_eof_ = eof_;
  buffer_.assign(8 * buffer_size, '\0');
  begin_ = end_ = 0;
  eof_ = false;
  return {};
}

Status LineReader::fill() {
  if (gzip_) return fill_inflated();
  begin_ = end_ = 0;
  std::size_t got = 0;
  if (Status s = read_some(buffer_.data(), buffer_.size(), &got); !s) return s;
  if (got == 0) eof_ = true;
  end_ = got;
  return {};
}

Status LineReader::fill_inflated() {
  begin_ = end_ = 0;
  for (;;) {
    if (gzip_->needs_input() && !packed_eof_) {
      std::size_t got = 0;
      if (Status s = read_some(packed_.data(), packed_.size(), &got); !s) return s;
      if (got == 0) packed_eof_ = true;
      gzip_->give(packed_.data(), got);
    }
    if (gzip_->needs_input() && packed_eof_) {
      if (!gzip_->between_members())
        return make_error(ErrorKind::Io, "gzip data in " + sanitize_utf8(path_) + " ends early (truncated file)");
      eof_ = true;
      return {};
    }
    std::size_t produced = 0;
    if (Status s = gzip_->inflate(buffer_.data(), buffer_.size(), &produced, path_); !s) return s;
    inflated_ += produced;
    if (inflated_ > max_inflated_)
      return make_error(ErrorKind::Io, "gzip data in " + sanitize_utf8(path_) + " inflates to more than " +
                                           std::to_string(max_inflated_) + " bytes");
    if (produced > 0) {
      end_ = produced;
      return {};
    }
  }
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
