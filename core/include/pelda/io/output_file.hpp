// Output files that appear whole or not at all.
//
// Text goes to a temporary file beside the destination, which replaces the
// destination only once it has been completely written and flushed. A failed
// or abandoned write removes the temporary file and leaves the destination as
// it was, so a file can also be rewritten from itself. A name ending in ".gz"
// gets gzip-compressed content.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "pelda/error.hpp"
#include "pelda/io/gzip.hpp"

namespace pelda {

class OutputFile {
 public:
  static constexpr std::size_t buffer_size = 8192;

  // Prepares to write `path`. The result gets the permission bits that
  // create-or-truncate would give it: those of the regular file it replaces,
  // else 0666 less the umask. A symbolic link at `path` is replaced, not
  // followed. A device, FIFO or socket holds no content to protect and is
  // written in place (so "/dev/null" or "/dev/stdout" work as destinations).
  // A directory is refused.
  static Result<OutputFile> create(const std::string& path);

  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Without a successful commit() the destination stays untouched.
  ~OutputFile();

  Status write(std::string_view text);
  // Flushes (and, when replacing a file, syncs) and moves the file into
  // place; refused after a failed write.
  Status commit();

 private:
  OutputFile(int fd, std::string path, std::string temp);
  Status flush(bool finish = false);
  Status emit(std::string_view bytes, bool finish);
  void discard();

  int fd_ = -1;
  std::string path_;
  std::string temp_;  // empty when writing in place
  std::string buffer_;
  std::optional<Error> failure_;
  // Replacing a file: its data reaches the disk before the rename, so that
  // a crash cannot trade the old content for an empty file.
  bool sync_ = false;
  std::unique_ptr<GzipDeflater> gzip_;  // set for ".gz" names
};

// Creates `path` and its missing parents with mode 0777 (the umask
// applies); an existing directory is fine.
Status create_directories(const std::string& path);

}  // namespace pelda
