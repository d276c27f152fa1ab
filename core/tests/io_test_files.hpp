// Scratch files for the reader and writer tests.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace pelda::testing {

// A fresh directory under /tmp, removed with its contents at scope exit.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/pelda_test_XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~ScratchDir() {
    const std::string cmd = "rm -rf '" + path_ + "'";
    [[maybe_unused]] int rc = std::system(cmd.c_str());
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  // Writes `content` byte for byte and returns the path.
  std::string write(const std::string& name, const std::string& content) const {
    const std::string p = file(name);
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }

 private:
  std::string path_;
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace pelda::testing
