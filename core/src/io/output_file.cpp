#include "pelda/io/output_file.hpp"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pelda/io/path.hpp"

namespace pelda {

namespace {

int open_file(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// "<dir>.<name>.<12 hex digits>.tmp": hidden, next to the destination (a
// rename cannot cross file systems) and telling whose it is if left behind
// by a killed process. The name is cut so that the whole fits NAME_MAX.
std::string temporary_name(std::string_view dir, std::string_view name) {
  static std::atomic<std::uint64_t> counter{0};
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  std::uint64_t x = (std::uint64_t(::getpid()) << 40) ^ (std::uint64_t(now.tv_sec) << 20) ^
                    std::uint64_t(now.tv_nsec) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
  x ^= x >> 30;  // splitmix64 finaliser: neighbouring inputs give unrelated names
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  char suffix[20];
  std::snprintf(suffix, sizeof suffix, ".%012llx.tmp", static_cast<unsigned long long>(x & 0xFFFFFFFFFFFFull));
  std::string out(dir);
  out += '.';
  out += name.substr(0, 200);
  out += suffix;
  return out;
}

bool is_special(mode_t mode) { return S_ISCHR(mode) || S_ISBLK(mode) || S_ISFIFO(mode) || S_ISSOCK(mode); }

Status write_fully(int fd, const char* data, std::size_t size) {
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

Result<OutputFile> OutputFile::create(const std::string& path) {
  if (Status s = check_path_text(path); !s) return s.error();
  if (path.empty()) return io_error(ENOENT);
  const std::size_t slash = path.find_last_of('/');
  const std::string_view whole = path;
  const std::string_view dir = slash == std::string::npos ? std::string_view() : whole.substr(0, slash + 1);
  const std::string_view name = slash == std::string::npos ? whole : whole.substr(slash + 1);

  struct stat st;
  std::optional<struct stat> replaced;
  if (::lstat(path.c_str(), &st) == 0) {
    struct stat target = st;
    if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &target) != 0) target = st;
    if (is_special(target.st_mode)) {
      const int fd = open_file(path, O_WRONLY | O_CREAT | O_TRUNC);
      if (fd < 0) return io_error(errno);
      return OutputFile(fd, path, {});
    }
    if (S_ISDIR(st.st_mode)) return io_error(EISDIR);
    if (S_ISREG(st.st_mode)) {
      // A file that create-or-truncate could not open stays refused.
      if (::access(path.c_str(), W_OK) != 0) return io_error(errno);
      replaced = st;
    }
  } else if (errno != ENOENT) {
    return io_error(errno);
  }
  if (name.empty()) return io_error(EISDIR);  // "out/" can only name a directory

  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = temporary_name(dir, name);
    // O_CREAT with 0666 lets the umask act exactly as for a new file.
    const int fd = open_file(temp, O_WRONLY | O_CREAT | O_EXCL);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return io_error(errno);
    }
    if (replaced) {
      // Keep owner and mode of the file being replaced, as far as allowed;
      // ownership goes first because changing it may clear mode bits.
      if (::fchown(fd, replaced->st_uid, replaced->st_gid) != 0) {
      }
      if (::fchmod(fd, replaced->st_mode & 0777) != 0) {
      }
    }
    OutputFile file(fd, path, std::move(temp));
    file.sync_ = replaced.has_value();
    return file;
  }
  return io_error(EEXIST);
}

OutputFile::OutputFile(int fd, std::string path, std::string temp)
    : fd_(fd), path_(std::move(path)), temp_(std::move(temp)) {
  buffer_.reserve(buffer_size);
  if (has_gzip_suffix(path_)) gzip_ = std::make_unique<GzipDeflater>();
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : fd_(other.fd_),
      path_(std::move(other.path_)),
      temp_(std::move(other.temp_)),
      buffer_(std::move(other.buffer_)),
      failure_(std::move(other.failure_)),
      sync_(other.sync_),
      gzip_(std::move(other.gzip_)) {
  other.fd_ = -1;
  other.temp_.clear();
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    discard();
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    temp_ = std::move(other.temp_);
    buffer_ = std::move(other.buffer_);
    failure_ = std::move(other.failure_);
    sync_ = other.sync_;
    gzip_ = std::move(other.gzip_);
    other.fd_ = -1;
    other.temp_.clear();
  }
  return *this;
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}

// Writes `bytes` to the file, compressed when the name asks for gzip.
Status OutputFile::emit(std::string_view bytes, bool finish) {
  Status s;
  if (gzip_) {
    std::string packed;
    s = gzip_->deflate(bytes, finish, packed);
    if (s) s = write_fully(fd_, packed.data(), packed.size());
  } else {
    s = write_fully(fd_, bytes.data(), bytes.size());
  }
  if (!s) failure_ = s.error();
  return s;
}

Status OutputFile::flush(bool finish) {
  Status s = emit(buffer_, finish);
  buffer_.clear();
  return s;
}

Status OutputFile::write(std::string_view text) {
  if (failure_) return *failure_;
  if (fd_ < 0) return make_error(ErrorKind::Internal, "write to a closed output file");
  if (buffer_.size() + text.size() > buffer_size) {
    if (Status s = flush(); !s) return s;
    if (text.size() > buffer_size) return emit(text, false);
  }
  buffer_.append(text);
  return {};
}

Status OutputFile::commit() {
  if (fd_ < 0) return make_error(ErrorKind::Internal, "commit of a closed output file");
  Status s = failure_ ? Status(*failure_) : flush(true);
  if (s && sync_ && ::fsync(fd_) != 0) s = io_error(errno);
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && s && errno != EINTR) s = io_error(errno);
  if (s && !temp_.empty() && ::rename(temp_.c_str(), path_.c_str()) != 0) s = io_error(errno);
  if (s) temp_.clear();  // in place now: nothing left to remove
  discard();
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
