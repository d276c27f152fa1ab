// Reads arbitrary bytes as a PDB file; checks the invariants every
// successfully read domain must keep. (fuzz_pdb_writer covers the writers.)
#include <cstdlib>
#include <optional>

#include "memory_file.hpp"
#include "pelda/io/pdb_reader.hpp"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pelda;
  // The first byte picks the chain: none, '?' or a letter.
  std::optional<char32_t> chain;
  if (size > 0) {
    if (data[0] % 3 == 1) chain = U'?';
    else if (data[0] % 3 == 2) chain = char32_t(U'A' + data[0] % 26);
    ++data;
    --size;
  }
  MemoryFile input(data, size);
  Result<Domain> d = read_pdb_domain(input.path(), chain);
  if (!d) {
    check(d.error().kind == ErrorKind::Io || d.error().kind == ErrorKind::PdbParse);
    return 0;
  }
  check(!d->residues.empty());
  for (std::size_t i = 0; i < d->residues.size(); ++i) check(d->residues[i].index == i);
  return 0;
}
