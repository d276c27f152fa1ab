// Reading one chain's C-alpha trace from a PDB coordinate file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "pelda/error.hpp"
#include "pelda/io/domain.hpp"

namespace pelda {

// The CA atoms of ATOM records of one chain in the first model. With no chain
// (or '?') the chain of the first CA line is read. Streams the file; stops at
// the end of the first model that contributed a residue.
Result<Domain> read_pdb_domain(const std::string& path, std::optional<char32_t> chain);

// One-letter code of a residue name (amino acids, their ambiguity codes and
// nucleotides), 'X' for anything unknown. Case-insensitive.
char32_t one_letter_code(std::string_view name);

}  // namespace pelda
