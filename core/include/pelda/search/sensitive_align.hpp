// Sensitive pairwise alignment: the iterative aligner run from the starts of
// the start search, reported with the structural alignment of the result.
#pragma once

#include "pelda/io/domain.hpp"
#include "pelda/pairwise/pairwise_alignment.hpp"
#include "pelda/pairwise/parameters.hpp"
#include "pelda/search/structural_alignment.hpp"

namespace pelda {

struct SensitiveAlignment {
  // The aligner's best run (score 0 when no start held an alignment); its
  // transform acts on the second structure already moved by the start.
  PairwiseAlignment aligner;
  // Moves the second structure onto the first: the aligner's transform after
  // the best start, or the search's best superposition when nothing held.
  Transform transform;
  StructuralAlignment structure;  // under `transform`
};

// Structures of fewer than 3 residues give the empty result (no pairs,
// identity transform, rmsd infinite, every score 0).
SensitiveAlignment sensitive_align(const Domain& domain1, const Domain& domain2, const Parameters& params);

}  // namespace pelda
