// The DSSP reader: table detection, filters, label matching, all-or-nothing.
#include <gtest/gtest.h>

#include <cstdio>

#include "io_test_files.hpp"
#include "pelda/io/dssp_reader.hpp"
#include "pelda/io/pdb_reader.hpp"

using namespace pelda;
using pelda::testing::ScratchDir;

namespace {

const char* const header = "  #  RESIDUE AA STRUCTURE BP1 BP2  ACC     N-H-->O";

// A table row: number (5 wide), insertion code, chain, structure letter, accessibility text (4 wide).
std::string row(const char* number, char icode, char chain, char ss, const char* acc = " 100") {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%5d%5s%c%c V  %c           0   0%4s      0, 0.0", 1, number, icode, chain, ss,
                acc);
  return buf;
}

Domain domain_with_labels(std::initializer_list<const char*> labels, char32_t chain = U'A') {
  Domain d = make_domain("d", chain);
  for (const char* l : labels) {
    Residue r;
    r.label = l;
    r.index = std::uint32_t(d.residues.size());
    d.residues.push_back(r);
  }
  return d;
}

std::string table(std::initializer_list<std::string> rows) {
  std::string s = "==== Secondary Structure Definition\nHEADER\n" + std::string(header) + "\n";
  for (const auto& r : rows) s += r + "\n";
  return s;
}

}  // namespace

TEST(Dssp, ReduceCodes) {
  const std::pair<char32_t, char> cases[] = {{U'G', 'H'}, {U'H', 'H'}, {U'I', 'H'}, {U'B', 'E'}, {U'E', 'E'},
                                             {U'C', 'C'}, {U'D', 'C'}, {U'F', 'C'}, {U'T', 'C'}, {U'S', 'C'},
                                             {U'P', 'C'}, {U' ', 'C'}, {U'A', 'C'}, {U'J', 'C'}, {U'h', 'C'},
                                             {U'é', 'C'}};
  for (const auto& [letter, code] : cases) EXPECT_EQ(reduce_dssp_code(letter), code) << char(letter);
}

TEST(Dssp, RowsMatchLabelsAndChains) {
  ScratchDir dir;
  const std::string p = dir.write(
      "t.dssp", row("1", ' ', 'A', 'E') + "\n" +  // before the header: ignored
                    table({row("1", ' ', 'A', 'H', "  12"), row("2", ' ', 'A', 'G', " abc"),
                           "   3        !*             0   0    0",  // break line
                           row("3", ' ', 'B', 'E'),                   // other chain
                           row("4", ' ', ' ', 'B'),                   // blank chain: applies
                           row("52", 'A', 'A', 'I', "  7."), row("52", ' ', 'A', 'T'), "short line",
                           row("9", ' ', 'A', 'E').substr(0, 34)}));  // accessibility unavailable
  Domain d = domain_with_labels({"1", "2", "3", "4", "52", "52A", "9"});
  ASSERT_TRUE(apply_dssp(d, p));
  EXPECT_TRUE(d.has_dssp);
  EXPECT_EQ(secondary_structure(d), "HHCECHE");
  const double acc[] = {12, 0, 0, 100, 100, 7, 0};
  for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(d.residues[i].accessibility, acc[i]) << i;
}

TEST(Dssp, AnyChainDomainTakesEveryRowLastWins) {
  ScratchDir dir;
  const std::string p = dir.write("t.dssp", table({row("1", ' ', 'A', 'H'), row("1", ' ', 'B', 'E')}));
  Domain any = domain_with_labels({"1", "1"}, U'_');
  ASSERT_TRUE(apply_dssp(any, p));
  EXPECT_EQ(secondary_structure(any), "EC");  // only the first residue labelled "1" is touched
  Domain a = domain_with_labels({"1"}, U'A');
  ASSERT_TRUE(apply_dssp(a, p));
  EXPECT_EQ(secondary_structure(a), "H");
}

TEST(Dssp, NoTableStillMarksTheDomain) {
  ScratchDir dir;
  Domain d = domain_with_labels({"1"});
  ASSERT_TRUE(apply_dssp(d, dir.write("n.dssp", row("1", ' ', 'A', 'H') + "\n")));
  EXPECT_TRUE(d.has_dssp);
  EXPECT_EQ(secondary_structure(d), "C");
}

TEST(Dssp, FailuresLeaveTheDomainUnchanged) {
  ScratchDir dir;
  const std::string bad = dir.write("bad.dssp", table({row("1", ' ', 'A', 'H'), "\xFF\xFE"}));
  for (const std::string& path : {bad, dir.file("missing.dssp"), dir.path()}) {
    Domain d = domain_with_labels({"1"});
    const Status s = apply_dssp(d, path);
    ASSERT_FALSE(s) << path;
    EXPECT_EQ(s.error().kind, ErrorKind::Io);
    EXPECT_FALSE(d.has_dssp);
    EXPECT_EQ(secondary_structure(d), "C");
  }
}

TEST(Dssp, ShippedFileOnItsStructure) {
  Result<Domain> d = read_pdb_domain(OVELT_TEST_DATA "/edge/1orc.pdb", std::nullopt);
  ASSERT_TRUE(d);
  ASSERT_TRUE(apply_dssp(*d, OVELT_TEST_DATA "/dssp/1orc.dssp"));
  const std::string ss = secondary_structure(*d);
  EXPECT_EQ(ss.find_first_not_of("HEC"), std::string::npos);
  EXPECT_NE(ss.find('H'), std::string::npos);
  EXPECT_NE(ss.find('E'), std::string::npos);
  std::size_t with_acc = 0;
  for (const Residue& r : d->residues) with_acc += r.accessibility > 0;
  EXPECT_GT(with_acc, d->size() / 2);
}
