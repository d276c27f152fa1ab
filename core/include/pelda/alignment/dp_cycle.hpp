// One alignment cycle: banded integer dynamic programming, traceback and fit.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "pelda/math/transform.hpp"
#include "pelda/math/vec.hpp"
#include "pelda/pairwise/pairwise_alignment.hpp"
#include "pelda/pairwise/parameters.hpp"
#include "pelda/scoring/similarity.hpp"

namespace pelda {

struct CycleResult {
  std::vector<ResiduePair> core_pairs;     // traced pairs with similarity >= 0.3
  std::vector<double> residue_similarity;  // per first-structure residue, -1 elsewhere
  Transform transform;                     // fit of coords2 onto coords1 at the core pairs
  double rmsd = 100.0;
  double score = 0.0;
  std::size_t path_length = 0;
  std::size_t core_count = 0;
  ResiduePair first_range{0, 0}, second_range{0, 0};
};

CycleResult dp_cycle(const PointList& coords1, const PointList& coords2,
                     const SimilarityMatrix& similarity, const AlignmentConfig& config);

}  // namespace pelda
