// Search for starting superpositions of two chains in unrelated frames, for
// the iterative aligner to refine: secondary-structure, threading and
// fragment seeds, refined by TM-score alignment and handed over as the few
// starts the aligner is most likely to hold.
#pragma once

#include <cstddef>
#include <vector>

#include "pelda/math/transform.hpp"
#include "pelda/pairwise/pairwise_alignment.hpp"
#include "pelda/pairwise/parameters.hpp"

namespace pelda {

// A superposition of the mobile chain onto the fixed one, with its TM-score
// (normalised by the fixed chain) over the alignment it was fitted to.
struct Fit {
  Transform transform;
  double tm = -1.0;
  std::vector<ResiduePair> pairs;
};

struct StartSearch {
  std::vector<Transform> starts;  // for the aligner, most promising first (at most 3)
  std::vector<double> proxies;    // the path proxy of each start, in similarity units
  Fit best;                       // the refined superposition with the highest TM-score
};

// Chains shorter than 3 residues give no starts.
StartSearch search_starts(const PointList& fixed, const PointList& mobile, const AlignmentConfig& config);

// RMS distance between the mobile chain moved by `a` and by `b`.
double transform_difference(const Transform& a, const Transform& b, const PointList& mobile);

}  // namespace pelda
