// Line reading, file stems and fixed-column fields.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "io_test_files.hpp"
#include "pelda/io/columns.hpp"
#include "pelda/io/line_reader.hpp"
#include "pelda/io/path.hpp"

using namespace pelda;
using pelda::testing::ScratchDir;

namespace {

// All lines of a file, or the error text.
std::vector<std::string> lines_of(const std::string& path, std::string* error = nullptr) {
  std::vector<std::string> out;
  Result<LineReader> r = LineReader::open(path);
  if (!r) {
    if (error) *error = r.error().text();
    return out;
  }
  std::string_view line;
  for (;;) {
    Result<bool> more = r->next(&line);
    if (!more) {
      if (error) *error = more.error().text();
      return out;
    }
    if (!*more) return out;
    out.emplace_back(line);
  }
}

}  // namespace

TEST(LineReader, LineEndings) {
  ScratchDir dir;
  struct Case {
    std::string content;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"\n", {""}},
      {"a\nb", {"a", "b"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\r\r\n", {"a\r"}},       // only one '\r' goes
      {"a\rb\n", {"a\rb"}},       // a lone '\r' is text
      {"last\r", {"last\r"}},     // no '\n': the '\r' stays
      {"x\n\n\ny\n", {"x", "", "", "y"}},
      {std::string("nul\0byte\n", 9), {std::string("nul\0byte", 8)}},
  };
  for (const Case& c : cases) {
    std::string err;
    EXPECT_EQ(lines_of(dir.write("f", c.content), &err), c.lines) << c.content;
    EXPECT_EQ(err, "");
  }
}

TEST(LineReader, LinesSpanningRefillsAndSplitCharacters) {
  ScratchDir dir;
  // 'é' (two bytes) placed across the first 8 KiB boundary, in a line far longer than the buffer.
  std::string long_line(LineReader::buffer_size - 1, 'a');
  long_line += "\xC3\xA9";
  long_line += std::string(3 * LineReader::buffer_size, 'b');
  const std::string content = long_line + "\r\nshort\n" + long_line;
  EXPECT_EQ(lines_of(dir.write("f", content)), (std::vector<std::string>{long_line, "short", long_line}));
}

TEST(LineReader, InvalidUtf8IsAnIoError) {
  ScratchDir dir;
  const std::string far(3 * LineReader::buffer_size, 'a');
  const std::string cases[] = {
      "ok\nbad \xFF here\n",
      "ok\n" + far + "\xC3",            // truncated sequence at end of file
      "ok\n" + far + "\xED\xA0\x80\n",  // surrogate
      "ok\n" + far + "\xC0\xAF rest\n", // overlong
  };
  for (const std::string& c : cases) {
    std::string err;
    const auto lines = lines_of(dir.write("f", c), &err);
    EXPECT_EQ(err, "I/O error: stream did not contain valid UTF-8");
    EXPECT_EQ(lines, std::vector<std::string>{"ok"});
  }
}

TEST(LineReader, LineLengthIsCapped) {
  ScratchDir dir;
  const std::size_t cap = LineReader::max_line_bytes;
  const std::string at_cap(cap, 'a'), over(cap + 1, 'a');
  const std::string too_long = "I/O error: stream contained a line longer than 1048576 bytes";
  const struct {
    std::string path;
    std::vector<std::string> lines;
    std::string error;
  } cases[] = {
      {dir.write("at", "x\n" + at_cap + "\ny"), {"x", at_cap, "y"}, ""},
      {dir.write("at_end", at_cap), {at_cap}, ""},
      {dir.write("over", "x\n" + over + "\ny\n"), {"x"}, too_long},
      {dir.write("over_end", over), {}, too_long},
      {"/dev/zero", {}, too_long},  // endless, no newline
  };
  for (const auto& c : cases) {
    std::string err;
    EXPECT_EQ(lines_of(c.path, &err), c.lines) << c.path;
    EXPECT_EQ(err, c.error) << c.path;
  }
}

TEST(LineReader, OpenFailuresCarryTheSystemText) {
  ScratchDir dir;
  std::string err;
  lines_of(dir.file("missing"), &err);
  EXPECT_EQ(err, "I/O error: No such file or directory (os error 2)");
  lines_of(dir.path(), &err);
  EXPECT_EQ(err, "I/O error: Is a directory (os error 21)");
  // A NUL would cut the name short and open another file.
  const std::string real = dir.write("f", "text\n");
  lines_of(real + std::string("\0.bak", 5), &err);
  EXPECT_EQ(err, "I/O error: file name contained an unexpected NUL byte");
}

TEST(Path, FileStem) {
  const std::pair<std::string, std::string> cases[] = {
      {"data/1abc.pdb", "1abc"}, {"data/1abc", "1abc"}, {"x.tar.pdb", "x.tar"}, {".hidden", ".hidden"},
      {"a.b.pdb", "a.b"},       {"dir/x.pdb/", "x"},   {"a.", "a"},           {"...", ".."},
      {"a/./b.pdb/.", "b"},     {"/abs/1abc.ent", "1abc"},
  };
  for (const auto& [path, stem] : cases) EXPECT_EQ(identifier_from_path(path), stem) << path;
  for (const char* none : {"", ".", "..", "/", "a/..", "./", "dir/\xFF.pdb"}) {
    EXPECT_FALSE(file_stem(none).has_value()) << none;
    EXPECT_EQ(identifier_from_path(none), "unknown");
  }
}

TEST(Path, Join) {
  EXPECT_EQ(join_path("out", "a.pdb"), "out/a.pdb");
  EXPECT_EQ(join_path("out/", "a.pdb"), "out/a.pdb");
  EXPECT_EQ(join_path("", "a.pdb"), "a.pdb");
  EXPECT_EQ(join_path("out", "/abs/a.pdb"), "/abs/a.pdb");
}

TEST(Columns, FloatGrammar) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<const char*, double> good[] = {
      {"12.5", 12.5}, {"+1", 1.0},  {"-7", -7.0},       {".5", 0.5},      {"5.", 5.0},
      {"1e3", 1e3},   {"1E-3", 1e-3}, {"-1.5e+2", -150}, {"inf", inf},      {"-Infinity", -inf},
      {"1e400", inf}, {"-1e400", -inf}, {"1e-400", 0.0},  {"0.1", 0.1},
      {"9007199254740993", 9007199254740992.0},                          // tie rounds to even
      {"2.4703282292062328e-324", std::numeric_limits<double>::denorm_min()},
      {"000000000000000000000000000000012.5e0", 12.5},
  };
  for (const auto& [text, value] : good) {
    const std::optional<double> v = parse_float(text);
    ASSERT_TRUE(v.has_value()) << text;
    EXPECT_EQ(*v, value) << text;
  }
  EXPECT_TRUE(std::signbit(*parse_float("-0")));
  EXPECT_TRUE(std::isnan(*parse_float("NaN")));
  EXPECT_TRUE(std::isnan(*parse_float("-nan")));
  for (const char* bad : {"", "+", "-", ".", "e5", "1e", "1e+", "1,5", "12.5x", "0x10", "nan(1)", "infx", " 1",
                          "1 ", "1_0", "+-1", "in", "--1", "1.2.3"})
    EXPECT_FALSE(parse_float(bad).has_value()) << bad;
}

TEST(Columns, Int32) {
  const std::pair<const char*, std::int32_t> good[] = {
      {"52", 52}, {"+7", 7}, {"-3", -3}, {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1}, {"007", 7}};
  for (const auto& [text, value] : good) EXPECT_EQ(parse_int32(text), std::optional<std::int32_t>(value)) << text;
  for (const char* bad : {"", "+", "-", "1A", "2147483648", "-2147483649", "+-1", " 1", "99999999999999999999"})
    EXPECT_FALSE(parse_int32(bad).has_value()) << bad;
}

TEST(Columns, RangesCharactersAndTrimming) {
  const std::string line = "ab\xC3\xA9" "cd";  // a b é c d: 'é' is bytes 2-3
  EXPECT_EQ(byte_range(line, 0, 2), std::optional<std::string_view>("ab"));
  EXPECT_FALSE(byte_range(line, 0, 3).has_value());
  EXPECT_FALSE(byte_range(line, 3, 5).has_value());
  EXPECT_FALSE(byte_range(line, 4, 7).has_value());
  EXPECT_EQ(char_at(line, 2), U'é');
  EXPECT_EQ(char_at(line, 3), U'c');
  EXPECT_EQ(char_at(line, 5), U' ');
  EXPECT_EQ(field(line, 0, 3, "fallback"), "fallback");
  EXPECT_EQ(trim("\xC2\xA0 \t x y\xE3\x80\x80\n"), "x y");  // NBSP and ideographic space
  EXPECT_EQ(trim("   "), "");
}
