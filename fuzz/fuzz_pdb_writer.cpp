// Rewrites arbitrary bytes as a PDB file, under a choice of transforms and
// chain filters, onto an existing file. Afterwards the destination holds
// either the complete rewrite or its old content, no temporary file is left,
// and a complete rewrite reads back as the moved source.
#include <cmath>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>

#include "pelda/io/pdb_reader.hpp"
#include "pelda/io/pdb_writer.hpp"

namespace {

using namespace pelda;

void check(bool ok) {
  if (!ok) std::abort();
}

// One directory per process, removed at exit. Kept in a plain array: a
// string would be destroyed before the exit handler runs.
char scratch[] = "/dev/shm/fuzz_pdb_writer_XXXXXX";

void remove_scratch() {
  for (const char* name : {"/src.pdb", "/out.pdb"}) ::unlink((std::string(scratch) + name).c_str());
  ::rmdir(scratch);
}

const char* scratch_dir() {
  static const bool made = [] {
    check(::mkdtemp(scratch) != nullptr);
    std::atexit(remove_scratch);
    return true;
  }();
  (void)made;
  return scratch;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> out;
  DIR* d = ::opendir(dir.c_str());
  check(d != nullptr);
  while (dirent* e = ::readdir(d))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.insert(e->d_name);
  ::closedir(d);
  return out;
}

Transform pick_transform(unsigned k) {
  const Mat3 turn{{{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}};
  const Mat3 stretch{{{1e3, 0, 0}, {0, 1e3, 0}, {0, 0, 1e3}}};
  switch (k % 8) {
    case 0: return Transform::identity();
    case 1: return {turn, {1.5, -2, 3}};
    case 2: return {identity3(), {9000, 0, 0}};  // near the top of the field
    case 3: return {identity3(), {0, -990, 0}};  // near the bottom
    case 4: return {identity3(), {1e4, 0, 0}};
    case 5: return {identity3(), {0, 0, NAN}};
    case 6: return {stretch, {0, 0, 0}};
    default: return {turn, {0, 0, -1e300}};
  }
}

// Lines the rewrite must produce: every source line except the ATOM and
// HETATM records after the first ENDMDL.
std::size_t expected_lines(const std::string& text) {
  std::size_t n = 0, start = 0;
  bool past = false;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + start, end - start);
    if (line.size() >= 6 && line.starts_with("ENDMDL")) past = true;
    else if (past && (line.starts_with("ATOM") || line.starts_with("HETATM"))) --n;
    ++n;
    start = end + 1;
  }
  return n;
}

bool is_ascii(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// A written file read back gives the source residues moved by t, to the
// three decimals written.
void check_reads_back(const Domain& source, const std::string& path, std::optional<char32_t> chain,
                      const Transform& t) {
  Result<Domain> back = read_pdb_domain(path, chain);
  check(back.ok() && back->size() == source.size());
  for (std::size_t i = 0; i < source.size(); ++i) {
    const Vec3 want = t.apply(source.residues[i].position()), got = back->residues[i].position();
    for (int a = 0; a < 3; ++a) check(std::fabs(want[a] - got[a]) <= 5.01e-4);
  }
}

// CA-only files keep a residue apart by its label in a 4-column field; longer
// labels shift the line, and two neighbours whose labels read alike merge.
bool labels_read_back(const Domain& d) {
  for (std::size_t i = 0; i < d.size(); ++i)
    if (d.residues[i].label.size() > 4 || (i > 0 && d.residues[i].label == d.residues[i - 1].label)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  unsigned pick = 0;
  if (size > 0) {
    pick = data[0];
    ++data;
    --size;
  }
  const Transform t = pick_transform(pick);
  const unsigned chain = (pick / 8) % 3;  // none, 'A' or 'B'
  const std::optional<char32_t> filter = chain == 0 ? std::nullopt : std::optional<char32_t>(U'A' + chain - 1);
  const std::string dir = scratch_dir();
  const std::string src = dir + "/src.pdb", out = dir + "/out.pdb", old = "previous content\n";
  const std::string text(reinterpret_cast<const char*>(data), size);
  put(src, text);
  put(out, old);

  const Status s = rewrite_pdb_file(src, out, t, filter);
  check(entries(dir) == std::set<std::string>{"src.pdb", "out.pdb"});
  const std::string written = slurp(out);
  if (!s) {
    check(s.error().kind == ErrorKind::Io || s.error().kind == ErrorKind::Value);
    check(written == old);
  } else {
    std::size_t lines = 0;
    for (char c : written) lines += c == '\n';
    check(lines == expected_lines(text) && (written.empty() || written.back() == '\n'));
  }

  // The CA reader sees the rewrite the same way as the source when both stop
  // at the same place: plain text, one model.
  Result<Domain> d = read_pdb_domain(src, filter);
  if (!d) return 0;
  if (s && is_ascii(text) && text.find("ENDMDL") == std::string::npos) check_reads_back(*d, out, filter, t);
  put(out, old);
  const Status ca = write_ca_pdb(*d, out, &t);
  check(entries(dir) == std::set<std::string>{"src.pdb", "out.pdb"});
  if (!ca) {
    check(ca.error().kind == ErrorKind::Value && slurp(out) == old);
  } else if (is_ascii(text) && labels_read_back(*d)) {
    check_reads_back(*d, out, std::nullopt, t);
  }
  return 0;
}
