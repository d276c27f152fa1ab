// Sliding-window search for a starting superposition ("scan mode").
#pragma once

#include <cstddef>
#include <limits>
#include <optional>

#include "pelda/error.hpp"
#include "pelda/io/domain.hpp"
#include "pelda/pairwise/pairwise_alignment.hpp"
#include "pelda/pairwise/parameters.hpp"
#include "pelda/parallel/run_items.hpp"

namespace pelda {

struct ScanOutcome {
  std::optional<PairwiseAlignment> best;
  Transform transform;  // maps the second structure's input coordinates onto the first
  double score = 0.0;
  double rmsd = std::numeric_limits<double>::infinity();
  double seq_identity = 0.0;  // fraction 0-1
  std::size_t path_length = 0;
  std::size_t n_aligned = 0;
  std::size_t offset = 0;
  std::size_t n1 = 0, n2 = 0;
  bool significant = false;
};

// The aligner settings of every window run, and of the final refinement.
AlignmentConfig scan_run_config(const ScanConfig& config);
AlignmentConfig scan_refinement_config();

// The windows run on `control.threads` threads with the same result for every
// count; a stop asked by the poll hook ends the search with a Stopped error.
Result<ScanOutcome> scan_align(const Domain& domain1, const Domain& domain2, const ScanConfig& config,
                               const RunControl& control = {});

}  // namespace pelda
