// The residue correspondence two superposed structures show, and its TM-scores.
#pragma once

#include <cstddef>
#include <limits>
#include <string_view>
#include <vector>

#include "pelda/math/vec.hpp"
#include "pelda/pairwise/pairwise_alignment.hpp"

namespace pelda {

// The TM-score distance scale for a chain of `length` residues:
// max(0.5, 1.24 (L - 15)^(1/3) - 1.8) above 21 residues, else 0.5.
double tm_d0(std::size_t length);

struct StructuralAlignment {
  std::vector<ResiduePair> pairs;  // (first index, second index), closer than 5 A
  double rmsd = std::numeric_limits<double>::infinity();  // over `pairs`, no refit
  double seq_identity = 0.0;       // fraction of pairs with equal residue types
  // TM-scores over the whole alignment (pairs beyond the cutoff add their
  // small terms too, as in the usual definition of the score).
  double tm_score = 0.0;           // normalised by the first structure's length
  double tm_score_mobile = 0.0;    // normalised by the second structure's length
};

// Gap open cost of the structural alignment, in TM-term units.
inline constexpr double kStructuralGapOpen = 0.6;
// Pairs at least this far apart (A) are not reported.
inline constexpr double kStructuralPairCutoff = 5.0;

// Order-preserving alignment of `fixed` and `moved` (already superposed)
// maximising the TM terms 1/(1 + (d/d0)^2), d0 from the shorter chain, at
// kStructuralGapOpen per gap run; the pairs closer than kStructuralPairCutoff
// are kept. Residue types may be empty (seq_identity then stays 0).
StructuralAlignment structural_alignment(const PointList& fixed, const PointList& moved,
                                         std::u32string_view types1 = {}, std::u32string_view types2 = {});

}  // namespace pelda
