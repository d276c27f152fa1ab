// gzip input and output, checked against the system's gzip tool.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "io_test_files.hpp"
#include "pelda/io/line_reader.hpp"
#include "pelda/io/output_file.hpp"
#include "pelda/io/pdb_reader.hpp"
#include "pelda/io/pdb_writer.hpp"
#include "pelda/io/structure_file.hpp"

using namespace pelda;
using pelda::testing::ScratchDir;
using pelda::testing::slurp;

namespace {

const std::string mbn = std::string(OVELT_TEST_DATA) + "/structures/globin/1mbn.pdb";

// Runs a shell command; true on success.
bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

// `gzip -c` of the file `plain`, written beside it as name.
std::string gzip_of(const ScratchDir& dir, const std::string& plain, const std::string& name) {
  const std::string out = dir.file(name);
  EXPECT_TRUE(run("gzip -c '" + plain + "' > '" + out + "'"));
  return out;
}

// Every line of `path`, then "!" + the error text if reading failed.
std::vector<std::string> read_lines(const std::string& path, std::uint64_t cap = LineReader::default_max_inflated) {
  std::vector<std::string> out;
  Result<LineReader> r = LineReader::open(path, cap);
  if (!r) return {"!" + r.error().text()};
  std::string_view line;
  for (;;) {
    const Result<bool> more = r->next(&line);
    if (!more) out.push_back("!" + more.error().text());
    if (!more || !*more) return out;
    out.emplace_back(line);
  }
}

}  // namespace

// The inflated text reads exactly as the plain file does: line endings, a
// line longer than any buffer, and several gzip members one after another.
TEST(GzipReader, ReadsAsThePlainText) {
  ScratchDir dir;
  const std::string text = "HEADER x\r\nATOM 1\n\n" + std::string(200000, 'y') + "\nlast without newline";
  const std::string plain = dir.write("p.txt", text);
  const std::string packed = gzip_of(dir, plain, "p.txt.gz");
  const std::string twice = dir.file("twice.gz");
  ASSERT_TRUE(run("cat '" + packed + "' '" + packed + "' > '" + twice + "'"));
  const std::string doubled = dir.write("doubled.txt", text + text);
  EXPECT_EQ(read_lines(packed), read_lines(plain));
  EXPECT_EQ(read_lines(twice), read_lines(doubled));
  EXPECT_EQ(read_lines(gzip_of(dir, dir.write("e.txt", ""), "e.gz")), std::vector<std::string>{});
}

// Damaged data ends the read with an error naming the file, never a crash
// or text made up from garbage.
TEST(GzipReader, DamagedDataIsAnErrorNamingTheFile) {
  ScratchDir dir;
  const std::string packed = slurp(gzip_of(dir, mbn, "m.gz"));
  struct Case {
    std::string name, bytes, error;
  };
  const std::vector<Case> cases{
      {"cut.gz", packed.substr(0, packed.size() / 2), "ends early (truncated file)"},
      {"tail.gz", packed.substr(0, packed.size() - 4), "ends early (truncated file)"},
      {"magic.gz", "\x1f\x8b", "ends early (truncated file)"},
      {"garbage.gz", std::string("\x1f\x8b\x08\x00", 4) + std::string(3000, '\xA7'), "damaged gzip data in "},
      {"trailing.gz", packed + "junk after the stream", "damaged gzip data in "},
  };
  for (const Case& c : cases) {
    const std::string path = dir.write(c.name, c.bytes);
    const std::vector<std::string> lines = read_lines(path);
    ASSERT_FALSE(lines.empty()) << c.name;
    EXPECT_EQ(lines.back().rfind("!I/O error: ", 0), 0u) << c.name << ": " << lines.back();
    EXPECT_NE(lines.back().find(c.error), std::string::npos) << c.name << ": " << lines.back();
    EXPECT_NE(lines.back().find(path), std::string::npos) << c.name << ": " << lines.back();
  }
}

// A small file that inflates to more than the cap stops at the cap.
TEST(GzipReader, InflatedSizeIsCapped) {
  ScratchDir dir;
  std::string lines;
  for (int i = 0; i < 100000; ++i) lines += "REMARK padding padding padding\n";
  const std::string packed = gzip_of(dir, dir.write("big.txt", lines), "big.gz");
  EXPECT_EQ(read_lines(packed).size(), 100000u);
  const std::vector<std::string> capped = read_lines(packed, 1 << 20);
  EXPECT_EQ(capped.back(), "!I/O error: gzip data in " + packed + " inflates to more than 1048576 bytes");
  EXPECT_LT(capped.size(), 100000u);
}

// A gzipped structure gives the plain file's domain, named without ".gz",
// and a ".gz" output is gzip (as the system tool reads it) of the same text.
TEST(GzipStructure, ReadAndRewriteMatchThePlainFile) {
  ScratchDir dir;
  const std::string packed = gzip_of(dir, mbn, "1mbn.pdb.gz");
  const Result<Domain> plain = read_pdb_domain(mbn, std::nullopt), unpacked = read_pdb_domain(packed, std::nullopt);
  ASSERT_TRUE(plain && unpacked);
  EXPECT_EQ(unpacked->id, "1mbn");
  ASSERT_EQ(unpacked->size(), plain->size());
  for (std::size_t i = 0; i < plain->size(); ++i) {
    const Residue &a = unpacked->residues[i], &b = plain->residues[i];
    EXPECT_TRUE(a.label == b.label && a.x == b.x && a.y == b.y && a.z == b.z && a.residue_type == b.residue_type) << i;
  }

  Transform t = Transform::identity();
  t.translation = {1.5, -2.25, 3.0};
  ASSERT_TRUE(rewrite_pdb_file(mbn, dir.file("plain.pdb"), t, std::nullopt));
  ASSERT_TRUE(rewrite_pdb_file(packed, dir.file("moved.pdb.gz"), t, std::nullopt));
  ASSERT_TRUE(run("gzip -dc '" + dir.file("moved.pdb.gz") + "' > '" + dir.file("moved.pdb") + "'"));
  EXPECT_EQ(slurp(dir.file("moved.pdb")), slurp(dir.file("plain.pdb")));
}

TEST(StructureFile, FormatIsToldFromTheContent) {
  ScratchDir dir;
  struct Case {
    std::string name, content;
    StructureFormat format;
  };
  const std::vector<Case> cases{
      {"a.cif", "HEADER    x\nATOM\n", StructureFormat::Pdb},
      {"b.pdb", "# made by hand\n\n  DATA_b\n_atom_site.id 1\n", StructureFormat::Mmcif},
      {"c", "data_c\n", StructureFormat::Mmcif},
      {"d", "", StructureFormat::Pdb},
      {"e", "\xff\xfe binary", StructureFormat::Pdb},
      {"f", "# " + std::string(9000, 'c') + "\n\ndata_f\n", StructureFormat::Mmcif},  // past the first look
  };
  for (const Case& c : cases) {
    const std::string plain = dir.write(c.name, c.content);
    for (const std::string& path : {plain, gzip_of(dir, plain, c.name + "-packed")}) {
      const FileKind kind = sniff_structure_file(path);
      EXPECT_EQ(kind.format, c.format) << path;
      EXPECT_EQ(kind.gzipped, path != plain) << path;
    }
  }
  EXPECT_EQ(sniff_structure_file(dir.file("missing")).format, StructureFormat::Pdb);
  EXPECT_EQ(structure_output_name("aligned_", "d/1abc.cif.gz", {StructureFormat::Mmcif, true}), "aligned_1abc.cif.gz");
  EXPECT_EQ(structure_output_name("", "1abc.ent", {StructureFormat::Pdb, false}), "1abc.pdb");
}
