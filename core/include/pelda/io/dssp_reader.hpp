// Secondary structure and accessibility from DSSP files.
#pragma once

#include <string>

#include "pelda/error.hpp"
#include "pelda/io/domain.hpp"

namespace pelda {

// Applies the residue table of a DSSP file to the residues with matching
// labels and marks the domain as having DSSP data. All or nothing: on an Io
// error the domain is unchanged.
Status apply_dssp(Domain& domain, const std::string& path);

// 'G', 'H', 'I' -> 'H'; 'B', 'E' -> 'E'; everything else -> 'C'.
char reduce_dssp_code(char32_t letter);

}  // namespace pelda
