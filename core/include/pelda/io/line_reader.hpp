// Streaming line reader over a file descriptor: one line in memory at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "pelda/error.hpp"

namespace pelda {

// Lines end at '\n'; the '\n' and one '\r' directly before it are removed. A
// last line without '\n' is returned as it is (a trailing '\r' stays). Every
// returned line has been checked to be valid UTF-8. A line longer than
// max_line_bytes ends the read with an Io error, so that endless input
// without newlines (/dev/zero) cannot take all memory.
class LineReader {
 public:
  static constexpr std::size_t buffer_size = 8192;
  static constexpr std::size_t max_line_bytes = std::size_t(1) << 20;

  static Result<LineReader> open(const std::string& path);

  LineReader(LineReader&& other) noexcept;
  LineReader& operator=(LineReader&& other) noexcept;
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;
  ~LineReader();

  // True with `line` set, false at the end of the file, or an Io error. The
  // view stays valid until the next call.
  Result<bool> next(std::string_view* line);

 private:
  explicit LineReader(int fd);
  Status fill();
  Result<bool> finish_line(std::string_view* line, std::string_view tail, bool at_newline);
  bool check_pending();

  int fd_ = -1;
  std::string buffer_;
  std::size_t begin_ = 0, end_ = 0;  // unread bytes of buffer_
  bool eof_ = false;
  // A line that spans buffer refills is gathered here; bytes before
  // checked_ are known to be well-formed UTF-8.
  std::string pending_;
  std::size_t checked_ = 0;
};

// The Io error for a line that is not UTF-8.
Error invalid_utf8_error();
// The Io error for a line longer than LineReader::max_line_bytes.
Error line_too_long_error();

}  // namespace pelda
