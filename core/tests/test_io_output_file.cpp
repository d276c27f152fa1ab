// Output files appear whole or not at all, with the permissions and link
// handling of create-or-truncate.
#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io_test_files.hpp"
#include "pelda/io/output_file.hpp"

using namespace pelda;
using pelda::testing::ScratchDir;
using pelda::testing::slurp;

namespace {

std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> out;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.insert(e->d_name);
    ::closedir(d);
  }
  return out;
}

struct stat lstat_of(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st;
}

Status write_file(const std::string& path, const std::string& text) {
  Result<OutputFile> out = OutputFile::create(path);
  if (!out) return out.error();
  if (Status s = out->write(text); !s) return s;
  return out->commit();
}

}  // namespace

TEST(OutputFile, DestinationChangesOnlyAtCommit) {
  ScratchDir dir;
  const std::string path = dir.write("out.pdb", "old\n");
  ::chmod(path.c_str(), 0640);
  const std::string text(3 * OutputFile::buffer_size + 5, 'x');  // several flushes
  {
    Result<OutputFile> out = OutputFile::create(path);
    ASSERT_TRUE(out);
    ASSERT_TRUE(out->write(text));
    EXPECT_EQ(slurp(path), "old\n");
    EXPECT_EQ(entries(dir.path()).size(), 2u);  // the destination and one temporary file
  }                                             // abandoned
  EXPECT_EQ(slurp(path), "old\n");
  EXPECT_EQ(entries(dir.path()), std::set<std::string>{"out.pdb"});
  ASSERT_TRUE(write_file(path, text));
  EXPECT_EQ(slurp(path), text);
  EXPECT_EQ(lstat_of(path).st_mode & 07777, 0640u);
  EXPECT_EQ(entries(dir.path()), std::set<std::string>{"out.pdb"});
}

TEST(OutputFile, NewFilesFollowTheUmask) {
  ScratchDir dir;
  for (const mode_t mask : {mode_t(022), mode_t(077), mode_t(0)}) {
    const mode_t old = ::umask(mask);
    const std::string path = dir.file("new" + std::to_string(mask));
    const Status s = write_file(path, "x");
    ::umask(old);
    ASSERT_TRUE(s);
    EXPECT_EQ(lstat_of(path).st_mode & 07777, 0666u & ~mask);
  }
}

TEST(OutputFile, SymlinkIsReplacedNotFollowed) {
  ScratchDir dir;
  const std::string target = dir.write("target.pdb", "keep\n");
  const std::string link = dir.file("link.pdb");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  ASSERT_TRUE(write_file(link, "new\n"));
  EXPECT_TRUE(S_ISREG(lstat_of(link).st_mode));
  EXPECT_EQ(slurp(link), "new\n");
  EXPECT_EQ(slurp(target), "keep\n");
}

TEST(OutputFile, SpecialFilesAreWrittenInPlace) {
  ScratchDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ASSERT_TRUE(write_file(fifo, "through\n"));
  char buf[16] = {};
  EXPECT_EQ(::read(reader, buf, sizeof buf), 8);
  EXPECT_EQ(std::string(buf), "through\n");
  ::close(reader);
  EXPECT_TRUE(S_ISFIFO(lstat_of(fifo).st_mode));
  EXPECT_EQ(entries(dir.path()), std::set<std::string>{"fifo"});
}

TEST(OutputFile, FailuresLeaveNoTrace) {
  ScratchDir dir;
  const struct {
    std::string path, error;
  } cases[] = {
      {"", "I/O error: No such file or directory (os error 2)"},
      {dir.path(), "I/O error: Is a directory (os error 21)"},
      {dir.path() + "/", "I/O error: Is a directory (os error 21)"},
      {dir.file("missing/x.pdb"), "I/O error: No such file or directory (os error 2)"},
      {dir.file("x.pdb") + std::string("\0.bak", 5), "I/O error: file name contained an unexpected NUL byte"},
  };
  for (const auto& c : cases) {
    const Status s = write_file(c.path, "x");
    ASSERT_FALSE(s) << c.path;
    EXPECT_EQ(s.error().text(), c.error);
  }
  EXPECT_TRUE(entries(dir.path()).empty());
}

TEST(OutputFile, WriteStoppedByTheFileSizeLimitKeepsTheOldFile) {
  ScratchDir dir;
  const std::string path = dir.write("out.pdb", "old\n");
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 4 * OutputFile::buffer_size;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  Result<OutputFile> out = OutputFile::create(path);
  Status s = out ? Status() : Status(out.error());
  for (int i = 0; s && i < 10; ++i) s = out->write(std::string(OutputFile::buffer_size, 'x'));
  const Status late = out ? out->commit() : s;
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().text(), "I/O error: File too large (os error 27)");
  EXPECT_FALSE(late);  // a commit after a failed write is refused
  EXPECT_EQ(slurp(path), "old\n");
  EXPECT_EQ(entries(dir.path()), std::set<std::string>{"out.pdb"});
}
