#include "pelda/io/output_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pelda/io/path.hpp"

namespace pelda {

Result<OutputFile> OutputFile::create(const std::string& path) {
  if (Status s = check_path_text(path); !s) return s.error();
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return io_error(errno);
  return OutputFile(fd);
}

OutputFile::OutputFile(int fd) : fd_(fd) { buffer_.reserve(buffer_size); }

OutputFile::OutputFile(OutputFile&& other) noexcept : fd_(other.fd_), buffer_(std::move(other.buffer_)) {
  other.fd_ = -1;
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) {
      (void)flush();
      ::close(fd_);
    }
    fd_ = other.fd_;
    other.fd_ = -1;
    buffer_ = std::move(other.buffer_);
  }
  return *this;
}

OutputFile::~OutputFile() {
  if (fd_ < 0) return;
  (void)flush();
  ::close(fd_);
}

namespace {

Status write_all(int fd, const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return io_error(errno);
    }
    done += std::size_t(n);
  }
  return {};
}

}  // namespace

Status OutputFile::flush() {
  Status s = write_all(fd_, buffer_.data(), buffer_.size());
  buffer_.clear();
  return s;
}

Status OutputFile::write(std::string_view text) {
  if (buffer_.size() + text.size() > buffer_size) {
    if (Status s = flush(); !s) return s;
    if (text.size() > buffer_size) return write_all(fd_, text.data(), text.size());
  }
  buffer_.append(text);
  return {};
}

Status OutputFile::close() {
  if (fd_ < 0) return {};
  Status s = flush();
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) < 0 && s.ok() && errno != EINTR) return io_error(errno);
  return s;
}

Status create_directories(const std::string& path) {
  if (Status s = check_path_text(path); !s) return s;
  if (path.empty()) return {};
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  int err = errno;
  if (err == ENOENT) {
    const std::size_t slash = path.find_last_of('/', path.find_last_not_of('/'));
    if (slash != std::string::npos && slash > 0) {
      if (Status s = create_directories(path.substr(0, slash)); !s) return s;
      if (::mkdir(path.c_str(), 0777) == 0) return {};
      err = errno;
    }
  }
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
  return io_error(err);
}

}  // namespace pelda
