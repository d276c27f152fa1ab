// Three-state secondary structure from the C-alpha trace alone.
#pragma once

#include <string>

#include "pelda/math/vec.hpp"

namespace pelda {

// 'H', 'E' or 'C' per residue, from the distances between C-alphas i-2 .. i+2
// (helix and strand have characteristic ones), smoothed: a lone C between two
// equal states takes theirs, then helices shorter than 5 and strands shorter
// than 3 become coil. The first and last two residues are coil.
std::string ca_secondary_structure(const PointList& ca);

}  // namespace pelda
