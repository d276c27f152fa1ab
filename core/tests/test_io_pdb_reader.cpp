// The PDB reader on hand-made records and on the shipped structures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "io_test_files.hpp"
#include "pelda/io/pdb_reader.hpp"

using namespace pelda;
using pelda::testing::ScratchDir;

namespace {

struct Atom {
  const char* name = " CA ";
  char altloc = ' ';
  const char* resname = "ALA";
  char chain = 'A';
  const char* resnum = "   1";
  char icode = ' ';
  double x = 1, y = 2, z = 3;
  const char* record = "ATOM  ";
};

// A well-formed 80-column record.
std::string atom_line(const Atom& a) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%-6s%5d %4s%c%3s %c%4s%c   %8.3f%8.3f%8.3f  1.00 20.00           C", a.record,
                1, a.name, a.altloc, a.resname, a.chain, a.resnum, a.icode, a.x, a.y, a.z);
  return buf;
}

Atom res(const char* num, char chain = 'A', char icode = ' ') {
  Atom a;
  a.resnum = num;
  a.chain = chain;
  a.icode = icode;
  return a;
}

std::string lines(std::initializer_list<std::string> ls) {
  std::string s;
  for (const auto& l : ls) s += l + "\n";
  return s;
}

std::vector<std::string> labels(const Domain& d) {
  std::vector<std::string> out;
  for (const Residue& r : d.residues) out.push_back(r.label);
  return out;
}

using Labels = std::vector<std::string>;

}  // namespace

TEST(PdbReader, FirstModelOnly) {
  ScratchDir dir;
  const std::string p = dir.write(
      "m.pdb", lines({"ENDMDL", "END   ", "MODEL        1", atom_line(res("   1")), atom_line(res("   2")), "ENDMDL",
                      "MODEL        2", atom_line(res("   3")), "ENDMDL"}));
  Result<Domain> d = read_pdb_domain(p, std::nullopt);
  ASSERT_TRUE(d);
  EXPECT_EQ(labels(*d), (Labels{"1", "2"}));
  // "END   " ends the model as well; a bare "END" does not.
  const std::string q = dir.write("e.pdb", lines({atom_line(res("   1")), "END", atom_line(res("   2")), "END   ",
                                                  atom_line(res("   3"))}));
  EXPECT_EQ(labels(*read_pdb_domain(q, std::nullopt)), (Labels{"1", "2"}));
}

TEST(PdbReader, ChainSelection) {
  ScratchDir dir;
  const std::string p = dir.write(
      "c.pdb", lines({"MODEL        1", atom_line(res("   1", 'A')), "ENDMDL", "MODEL        2",
                      atom_line(res("   5", 'A')), atom_line(res("   7", 'B')), atom_line(res("   8", 'B')), "ENDMDL",
                      atom_line(res("   9", 'B'))}));
  // Chain B first appears in model 2: model 1's ENDMDL does not stop the read.
  Result<Domain> b = read_pdb_domain(p, U'B');
  ASSERT_TRUE(b);
  EXPECT_EQ(labels(*b), (Labels{"7", "8"}));
  EXPECT_EQ(b->chain, "B");
  for (std::optional<char32_t> none : {std::optional<char32_t>(), std::optional<char32_t>(U'?')}) {
    Result<Domain> first = read_pdb_domain(p, none);
    ASSERT_TRUE(first);
    EXPECT_EQ(labels(*first), Labels{"1"});
    EXPECT_EQ(first->chain, "A");
  }
  Result<Domain> c = read_pdb_domain(p, U'C');
  ASSERT_FALSE(c);
  // The message names the chains that do exist, in order of appearance.
  EXPECT_EQ(c.error().text(),
            "PDB parsing error: No C-alpha atoms found in chain 'C' of " + p + " (chains with C-alpha atoms: 'A', 'B')");
}

TEST(PdbReader, FirstCaLineFixesTheChainEvenWhenRejected) {
  ScratchDir dir;
  Atom rejected = res("   1", 'B');
  rejected.altloc = 'B';
  const std::string p = dir.write("f.pdb", lines({atom_line(rejected), atom_line(res("   2", 'A')),
                                                  atom_line(res("   3", 'B'))}));
  Result<Domain> d = read_pdb_domain(p, std::nullopt);
  ASSERT_TRUE(d);
  EXPECT_EQ(labels(*d), Labels{"3"});
  EXPECT_EQ(d->chain, "B");
}

TEST(PdbReader, AlternateLocationsAndDuplicates) {
  ScratchDir dir;
  auto alt = [](const char* num, char loc, double x) {
    Atom a = res(num);
    a.altloc = loc;
    a.x = x;
    return atom_line(a);
  };
  const std::string p = dir.write(
      "alt.pdb", lines({alt("   1", 'A', 1), alt("   1", 'B', 2),  // A kept, B rejected
                        alt("   2", 'B', 3),                        // B alone: missing
                        alt("   3", ' ', 4), alt("   3", 'A', 5),   // both pass: first kept
                        alt("   4", '1', 6), alt("   5", 'L', 7), alt("   6", 'O', 8), alt("   7", 'C', 9),
                        alt("   3", ' ', 10)}));                    // reappears later: accepted again
  Result<Domain> d = read_pdb_domain(p, std::nullopt);
  ASSERT_TRUE(d);
  EXPECT_EQ(labels(*d), (Labels{"1", "3", "4", "5", "6", "3"}));
  std::vector<double> xs;
  for (const Residue& r : d->residues) xs.push_back(r.x);
  EXPECT_EQ(xs, (std::vector<double>{1, 4, 6, 7, 8, 10}));
  for (std::size_t i = 0; i < d->residues.size(); ++i) EXPECT_EQ(d->residues[i].index, i);
}

TEST(PdbReader, LabelsAndResidueKeys) {
  ScratchDir dir;
  const std::string p = dir.write(
      "lab.pdb", lines({atom_line(res("  52")), atom_line(res("  52", 'A', 'A')), atom_line(res("  -3")),
                        atom_line(res("  1A")),  // not a number: label "1A"
                        atom_line(res("  1A")),  // same text: a duplicate
                        atom_line(res("  1B")),  // CA-only files write insertion codes like this
                        atom_line(res("   0")), atom_line(res("  +0")), atom_line(res("  +9"))}));
  Result<Domain> d = read_pdb_domain(p, std::nullopt);
  ASSERT_TRUE(d);
  EXPECT_EQ(labels(*d), (Labels{"52", "52A", "-3", "1A", "1B", "0", "+9"}));
}

TEST(PdbReader, WhichLinesCount) {
  ScratchDir dir;
  Atom het = res("   1");
  het.record = "HETATM";
  het.resname = "MSE";
  Atom mse = res("   2");
  mse.resname = "MSE";
  Atom calcium = res("   3");
  calcium.name = "CA  ";
  Atom dna = res("   4");
  dna.resname = " DA";
  const std::string short_line = atom_line(res("   5")).substr(0, 53);
  const std::string p =
      dir.write("w.pdb", lines({atom_line(het), atom_line(mse), atom_line(calcium), atom_line(dna), short_line}));
  Result<Domain> d = read_pdb_domain(p, std::nullopt);
  ASSERT_TRUE(d);
  EXPECT_EQ(labels(*d), (Labels{"2", "4"}));
  EXPECT_EQ(d->residues[0].residue_type, U'M');
  EXPECT_EQ(d->residues[1].residue_type, U'A');
}

TEST(PdbReader, CoordinateErrorsQuoteTheLine) {
  ScratchDir dir;
  const std::string good = atom_line(res("   1"));
  struct Case {
    std::size_t column;
    const char* text;
    const char* message;  // empty: accepted
  } cases[] = {
      {30, "  12.5x ", "Invalid X coordinate in line: "},
      {38, "    1,5 ", "Invalid Y coordinate in line: "},
      {46, "        ", "Invalid Z coordinate in line: "},
      {30, "     NaN", ""},
      {38, "    -inf", ""},
  };
  for (const Case& c : cases) {
    std::string bad = good;
    bad.replace(c.column, 8, c.text);
    const std::string p = dir.write("bad.pdb", lines({atom_line(res("   0")), bad, atom_line(res("   2"))}));
    Result<Domain> d = read_pdb_domain(p, std::nullopt);
    if (*c.message) {
      ASSERT_FALSE(d) << c.text;
      EXPECT_EQ(d.error().text(), std::string("PDB parsing error: ") + c.message + bad);
    } else {
      ASSERT_TRUE(d) << c.text;
      EXPECT_FALSE(std::isfinite(d->residues[1].position()[c.column == 30 ? 0 : 1]));
    }
  }
}

TEST(PdbReader, RangesSplitByMultiByteCharacters) {
  ScratchDir dir;
  // "ALA " becomes "ALé ": bytes from 21 on move right by one until a blank
  // after the insertion code is dropped. Byte ranges and character indices
  // now disagree: the name range ends inside 'é' ("UNK"), the chain is the
  // character at index 21 (byte 22), and the number range starts at it
  // and no longer holds the digit.
  std::string line = atom_line(res("   1", 'Q'));
  line.replace(17, 4, "AL\xC3\xA9 ");
  line.erase(28, 1);
  const std::string p = dir.write("u.pdb", lines({line}));
  Result<Domain> d = read_pdb_domain(p, std::nullopt);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->chain, "Q");
  EXPECT_EQ(d->residues[0].residue_type, U'X');
  EXPECT_EQ(d->residues[0].label, "Q");
  EXPECT_EQ(d->residues[0].z, 3.0);
}

TEST(PdbReader, EmptyAndBrokenFiles) {
  ScratchDir dir;
  Result<Domain> empty = read_pdb_domain(dir.write("e.pdb", ""), std::nullopt);
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().text(), "PDB parsing error: No C-alpha atoms found in chain '_' of " + dir.file("e.pdb"));
  Result<Domain> binary = read_pdb_domain(dir.write("b.pdb", lines({atom_line(res("   1")), "\x89PNG\x80\xFF"})),
                                          std::nullopt);
  ASSERT_FALSE(binary);
  EXPECT_EQ(binary.error().kind, ErrorKind::Io);
  // Bytes after the first model's end are never examined.
  Result<Domain> tail = read_pdb_domain(
      dir.write("t.pdb", lines({atom_line(res("   1")), "ENDMDL", "\xFF\xFE garbage"})), std::nullopt);
  EXPECT_TRUE(tail);
  Result<Domain> dirpath = read_pdb_domain(dir.path(), std::nullopt);
  ASSERT_FALSE(dirpath);
  EXPECT_EQ(dirpath.error().text(), "I/O error: Is a directory (os error 21)");
}

TEST(PdbReader, IdentifierAndSourcePath) {
  ScratchDir dir;
  const std::string p = dir.write("x.tar.pdb", lines({atom_line(res("   1"))}));
  Result<Domain> d = read_pdb_domain(p, std::nullopt);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->id, "x.tar");
  EXPECT_EQ(d->pdb_file, p);
  EXPECT_FALSE(d->has_dssp);
  EXPECT_EQ(d->residues[0].ss_code, 'C');
  EXPECT_EQ(d->residues[0].accessibility, 0.0);
}

TEST(PdbReader, OneLetterCodes) {
  const std::pair<const char*, char32_t> cases[] = {
      {"ALA", U'A'}, {"mse", U'M'}, {"Sec", U'U'}, {"PYL", U'O'}, {"ASX", U'B'}, {"GLX", U'Z'}, {"XLE", U'J'},
      {"DA", U'A'},  {"dt", U'T'},  {"U", U'U'},   {"G", U'G'},   {"URA", U'U'}, {"UNK", U'X'}, {"HOH", U'X'},
      {"", U'X'},    {"ALAA", U'X'}, {"DU", U'X'}, {"B", U'X'},
      {"\xC4\xB1le", U'I'},  // dotless i upper-cases to I
      {"\xC3\x9F", U'X'},    // sharp s becomes "SS"
  };
  for (const auto& [name, code] : cases) EXPECT_EQ(one_letter_code(name), code) << name;
}

TEST(PdbReader, ShippedCrlfTwinReadsTheSame) {
  Result<Domain> lf = read_pdb_domain(OVELT_TEST_DATA "/edge/1crn.pdb", std::nullopt);
  Result<Domain> crlf = read_pdb_domain(OVELT_TEST_DATA "/edge/1crn_crlf.pdb", std::nullopt);
  ASSERT_TRUE(lf && crlf);
  ASSERT_EQ(lf->size(), 46u);
  ASSERT_EQ(crlf->size(), 46u);
  for (std::size_t i = 0; i < 46; ++i) {
    EXPECT_EQ(lf->residues[i].label, crlf->residues[i].label);
    EXPECT_EQ(lf->residues[i].x, crlf->residues[i].x);
  }
}
