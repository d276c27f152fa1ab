// Applies arbitrary bytes as a DSSP file to a fixed domain; a failure must
// leave the domain exactly as it was.
#include <cstdlib>

#include "memory_file.hpp"
#include "pelda/io/dssp_reader.hpp"

namespace {

pelda::Domain labelled_domain(char32_t chain) {
  pelda::Domain d = pelda::make_domain("fuzz", chain);
  for (int i = 0; i < 60; ++i) {
    pelda::Residue r;
    r.label = i == 59 ? "52A" : std::to_string(i - 5);
    r.index = std::uint32_t(i);
    d.residues.push_back(r);
  }
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char32_t chains[] = {U'A', U'B', U'_', U' '};
  const char32_t chain = size > 0 ? chains[data[0] % 4] : U'A';
  MemoryFile input(data, size);
  pelda::Domain d = labelled_domain(chain);
  const pelda::Status s = pelda::apply_dssp(d, input.path());
  if (!s) {
    if (s.error().kind != pelda::ErrorKind::Io || d.has_dssp) std::abort();
    for (const pelda::Residue& r : d.residues)
      if (r.ss_code != 'C' || r.accessibility != 0.0) std::abort();
    return 0;
  }
  for (const pelda::Residue& r : d.residues)
    if (r.ss_code != 'H' && r.ss_code != 'E' && r.ss_code != 'C') std::abort();
  return d.has_dssp ? 0 : (std::abort(), 0);
}
