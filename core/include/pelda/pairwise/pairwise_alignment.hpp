// Result of the iterative pairwise aligner.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include "pelda/math/transform.hpp"

namespace pelda {

using ResiduePair = std::pair<std::size_t, std::size_t>;  // (first index, second index)

struct PairwiseAlignment {
  std::vector<ResiduePair> aligned_pairs;  // core pairs of the last cycle
  Transform transform;                     // maps the second structure onto the first
  double rmsd = std::numeric_limits<double>::infinity();
  std::size_t n_aligned = 0;
  double score = 0.0;
  double seq_identity = 0.0;  // percentage 0-100
  std::vector<double> residue_similarity;
  std::size_t path_length = 0;  // traced path length L of the last cycle
  std::size_t cycles = 0;       // alignment cycles run

  // What a structure shorter than the minimum length gets.
  static PairwiseAlignment empty() { return {}; }
};

// CA-CA distance of every pair once `transform` has moved the second structure.
std::vector<double> pair_distances(const std::vector<ResiduePair>& pairs, const PointList& coords1,
                                   const PointList& coords2, const Transform& transform);

// Percentage of equal residue types among the counted pairs. The pair at
// position k counts when its distance is at most `pair_cutoff` and at least
// two of its neighbours' are too (up to five ahead, four behind, each run
// stopping at the first that is farther apart): isolated close pairs, which
// are often chance contacts, do not count.
double seq_identity_percent(const std::vector<ResiduePair>& pairs, const std::vector<double>& distances,
                            std::u32string_view types1, std::u32string_view types2, double pair_cutoff);

}  // namespace pelda
