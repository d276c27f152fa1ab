// Streaming line reader over a file descriptor: one line in memory at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "pelda/error.hpp"
#include "pelda/io/gzip.hpp"

namespace pelda {

// Lines end at '\n'; the '\n' and one '\r' directly before it are removed. A
// last line without '\n' is returned as it is (a trailing '\r' stays). Every
// returned line has been checked to be valid UTF-8. A line longer than
// max_line_bytes ends the read with an Io error, so that endless input
// without newlines (/dev/zero) cannot take all memory.
//
// A file that starts with the gzip magic number is inflated on the fly and
// read as the text it holds. Its inflated size is capped at max_inflated
// bytes, so that a small hostile file cannot keep a reader busy for hours.
class LineReader {
 public:
  static constexpr std::size_t buffer_size = 8192;
  static constexpr std::size_t max_line_bytes = std::size_t(1) << 20;
  static constexpr std::uint64_t default_max_inflated = std::uint64_t(4) << 30;

  static Result<LineReader> open(const std::string& path, std::uint64_t max_inflated = default_max_inflated);

  LineReader(LineReader&& other) noexcept;
  LineReader& operator=(LineReader&& other) noexcept;
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;
  ~LineReader();

  // True with `line` set, false at the end of the file, or an Io error. The
  // view stays valid until the next call.
  Result<bool> next(std::string_view* line);

  bool gzipped() const { return gzip_ != nullptr; }

 private:
  LineReader(int fd, std::string path);
  Status start(std::uint64_t max_inflated);
  Status read_some(char* out, std::size_t capacity, std::size_t* got);
  Status fill();
  Status fill_inflated();
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
  // gzip input: compressed bytes in packed_, inflated ones in buffer_.
  std::string path_;
  std::unique_ptr<GzipInflater> gzip_;
  std::string packed_;
  bool packed_eof_ = false;
  std::uint64_t inflated_ = 0, max_inflated_ = 0;
};

// The Io error for a line that is not UTF-8.
Error invalid_utf8_error();
// The Io error for a line longer than LineReader::max_line_bytes.
Error line_too_long_error();

}  // namespace pelda
