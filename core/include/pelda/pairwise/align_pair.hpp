// The iterative pairwise aligner.
#pragma once

#include <vector>

#include "pelda/error.hpp"
#include "pelda/io/domain.hpp"
#include "pelda/pairwise/pairwise_alignment.hpp"
#include "pelda/pairwise/parameters.hpp"

namespace pelda {

// Aligns residues2 (mobile) onto residues1 (reference). Inputs are not modified.
Result<PairwiseAlignment> align_pair(const std::vector<Residue>& residues1,
                                     const std::vector<Residue>& residues2,
                                     const AlignmentConfig& config);

}  // namespace pelda
