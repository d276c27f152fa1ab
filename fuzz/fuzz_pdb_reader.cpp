// Reads arbitrary bytes as a PDB file, plain and gzipped; checks the
// invariants every successfully read domain must keep. (fuzz_pdb_writer
// covers the writers.)
#include <cstdlib>
#include <optional>
#include <string>

#include "memory_file.hpp"
#include "pelda/io/gzip.hpp"
#include "pelda/io/pdb_reader.hpp"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

pelda::Result<pelda::Domain> read_bytes(const std::string& bytes, std::optional<char32_t> chain) {
  MemoryFile input(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return pelda::read_pdb_domain(input.path(), chain);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pelda;
  // The first byte picks the chain (none, '?' or a letter) and the form:
  // the bytes as they are, behind a gzip magic number (damaged gzip), or
  // gzip-compressed, which must read exactly as the plain bytes do.
  std::optional<char32_t> chain;
  int form = 0;
  if (size > 0) {
    if (data[0] % 3 == 1) chain = U'?';
    else if (data[0] % 3 == 2) chain = char32_t(U'A' + data[0] % 26);
    form = data[0] / 3 % 3;
    ++data;
    --size;
  }
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::string input = bytes;
  if (form == 1) input = "\x1f\x8b" + bytes;
  if (form == 2) {
    input.clear();
    GzipDeflater deflater;
    check(bool(deflater.deflate(bytes, true, input)));
  }
  Result<Domain> d = read_bytes(input, chain);
  if (form == 2) {
    const Result<Domain> plain = read_bytes(bytes, chain);
    check(bool(d) == bool(plain));
    if (d) {
      check(d->size() == plain->size());
      for (std::size_t i = 0; i < d->size(); ++i)
        check(d->residues[i].label == plain->residues[i].label && d->residues[i].residue_type == plain->residues[i].residue_type);
    } else {
      check(d.error().kind == plain.error().kind);
    }
  }
  if (!d) {
    check(d.error().kind == ErrorKind::Io || d.error().kind == ErrorKind::PdbParse);
    return 0;
  }
  check(!d->residues.empty());
  for (std::size_t i = 0; i < d->residues.size(); ++i) check(d->residues[i].index == i);
  return 0;
}
