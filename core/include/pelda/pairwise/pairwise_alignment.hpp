// Result of the iterative pairwise aligner.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
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

  // What a structure shorter than the minimum length gets.
  static PairwiseAlignment empty() { return {}; }
};

}  // namespace pelda
