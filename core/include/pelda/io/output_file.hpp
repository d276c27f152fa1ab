// A created-or-truncated output file with an 8 KiB write buffer.
#pragma once

#include <string>
#include <string_view>

#include "pelda/error.hpp"

namespace pelda {

class OutputFile {
 public:
  static constexpr std::size_t buffer_size = 8192;

  // Creates or truncates `path` with permission bits 0666 (the umask applies).
  static Result<OutputFile> create(const std::string& path);

  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Closes without reporting; call close() to learn about late failures.
  ~OutputFile();

  Status write(std::string_view text);
  // Flushes and closes; the file is closed even when this fails.
  Status close();

 private:
  explicit OutputFile(int fd);
  Status flush();

  int fd_ = -1;
  std::string buffer_;
};

// Creates `path` and its missing parents with mode 0777 (the umask
// applies); an existing directory is fine.
Status create_directories(const std::string& path);

}  // namespace pelda
