// gzip streams, recognised by their magic bytes and handled in pieces so that
// neither side ever holds a whole file.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "pelda/error.hpp"

namespace pelda {

// True when `bytes` begins with the gzip magic number 1f 8b.
bool starts_gzip(std::string_view bytes);

// True when `path` ends in ".gz": the writers compress such outputs.
bool has_gzip_suffix(std::string_view path);

// Inflates a gzip stream of one or more members.
class GzipInflater {
 public:
  GzipInflater();
  ~GzipInflater();
  GzipInflater(const GzipInflater&) = delete;
  GzipInflater& operator=(const GzipInflater&) = delete;

  // The next compressed bytes; the earlier ones must be used up. The bytes
  // must stay in place until they are.
  void give(const char* data, std::size_t size);
  bool needs_input() const;
  // Inflates into out[0, capacity) and sets *produced, which may be 0 when
  // more input is needed. Damaged data is an Io error naming `source`.
  Status inflate(char* out, std::size_t capacity, std::size_t* produced, std::string_view source);
  // True when the input so far forms whole members: the end of the file
  // may come here and nowhere else.
  bool between_members() const { return between_members_; }

 private:
  struct Stream;
  std::unique_ptr<Stream> stream_;
  bool between_members_ = true;
};

// Compresses text into gzip format.
class GzipDeflater {
 public:
  GzipDeflater();
  ~GzipDeflater();
  GzipDeflater(const GzipDeflater&) = delete;
  GzipDeflater& operator=(const GzipDeflater&) = delete;

  // Appends the compressed form of `text` to `out`; with `finish` the
  // stream is closed (trailer written) after it.
  Status deflate(std::string_view text, bool finish, std::string& out);

 private:
  struct Stream;
  std::unique_ptr<Stream> stream_;
};

}  // namespace pelda
