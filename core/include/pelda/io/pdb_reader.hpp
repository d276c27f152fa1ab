// Reading one chain's C-alpha trace from a PDB coordinate file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pelda/error.hpp"
#include "pelda/io/domain.hpp"

namespace pelda {

// The CA atoms of ATOM records of one chain in the first model. With no chain
// (or '?') the chain of the first CA line is read. Streams the file; stops at
// the end of the first model that contributed a residue. A gzipped file is
// read as the text it holds, and its identifier drops the ".gz" as well.
// A chain without CA atoms is an error that lists the chains that have them.
Result<Domain> read_pdb_domain(const std::string& path, std::optional<char32_t> chain);

// One CA atom of the ATOM group as a structure file describes it, for
// formats read elsewhere (mmCIF). Values are as a PDB file would hold them:
// ' ' for no alternate location or insertion code.
struct CaSite {
  std::string chain;  // may be longer than one character
  char32_t altloc = U' ';
  std::string number;  // residue number text
  char32_t insertion = U' ';
  std::string residue_name;
  double x = 0.0, y = 0.0, z = 0.0;
  long model = 1;
};

// The domain the CA atoms `sites` (in file order) give under the rules of
// read_pdb_domain, a change of model standing for ENDMDL; chain "?" or none
// reads the chain of the first site. `path` names the source file.
Result<Domain> domain_from_ca_sites(const std::string& path, bool gzipped, const std::optional<std::string>& chain,
                                    const std::vector<CaSite>& sites);

// One-letter code of a residue name (amino acids, their ambiguity codes and
// nucleotides), 'X' for anything unknown. Case-insensitive.
char32_t one_letter_code(std::string_view name);

}  // namespace pelda
