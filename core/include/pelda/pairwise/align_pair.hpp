// The iterative pairwise aligner.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "pelda/alignment/dp_cycle.hpp"
#include "pelda/error.hpp"
#include "pelda/io/domain.hpp"
#include "pelda/pairwise/pairwise_alignment.hpp"
#include "pelda/pairwise/parameters.hpp"
#include "pelda/scoring/similarity.hpp"

namespace pelda {

// Buffers of one aligner run, reusable by the next run of the same caller.
struct AlignWorkspace {
  IntegerTrace first, second;
  ScoreMatrix scores;
  SimilarityScratch similarity;
  DpWorkspace dp;
  PointList mobile;
};

// The calling thread's workspace: its buffers outlive one run, so a thread
// aligning many pairs allocates and clears them only as they grow. It holds
// what the largest run of the thread needed until the thread ends.
AlignWorkspace& thread_workspace();

// Convergence bookkeeping of the aligner between cycles.
struct CycleProgress {
  double score = 0.0;
  double rmsd = std::numeric_limits<double>::infinity();
  double score_change = 0.0;  // percent of the new score
  double rmsd_change = std::numeric_limits<double>::infinity();

  // Takes in a finished cycle. The RMSD change keeps its value while either
  // RMSD is infinite.
  void update(double cycle_score, double cycle_rmsd);
};

// The test made before cycle k (k >= 1) after `last`, in its fixed order.
bool stop_before_cycle(const CycleProgress& progress, const CycleResult& last, std::uint64_t k,
                       const AlignmentConfig& config);

// Aligns residues2 (mobile) onto residues1 (reference). Inputs are not modified.
Result<PairwiseAlignment> align_pair(const std::vector<Residue>& residues1,
                                     const std::vector<Residue>& residues2,
                                     const AlignmentConfig& config);

// The same on bare traces; residue types only feed seq_identity and must be
// as long as their traces.
PairwiseAlignment align_traces(const PointList& coords1, const PointList& coords2, std::u32string_view types1,
                               std::u32string_view types2, const AlignmentConfig& config, AlignWorkspace& ws);

std::u32string residue_types(const std::vector<Residue>& residues);

}  // namespace pelda
