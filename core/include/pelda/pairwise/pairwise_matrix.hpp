// Every pairwise alignment of a set of domains, as the multiple aligner reads them.
#pragma once

#include <cstddef>
#include <vector>

#include "pelda/error.hpp"
#include "pelda/io/domain.hpp"
#include "pelda/pairwise/pairwise_alignment.hpp"
#include "pelda/pairwise/parameters.hpp"
#include "pelda/parallel/run_items.hpp"

namespace pelda {

// An n x n table of pairwise alignments. Only the runs for i < j are stored;
// the mirror entry [j][i] (pairs reversed) and the self entry [i][i] (every
// residue with itself, score 1) follow from them and from the residue counts,
// which halves the memory of large sets.
class PairwiseMatrix {
 public:
  PairwiseMatrix() = default;
  // Empty results for every pair of domains with these residue counts.
  explicit PairwiseMatrix(std::vector<std::size_t> lengths);

  std::size_t size() const { return lengths_.size(); }
  std::size_t length(std::size_t i) const { return lengths_[i]; }

  // Stores the alignment of domain i (first) with domain j (second); needs i < j.
  void set(std::size_t i, std::size_t j, PairwiseAlignment alignment);

  double score(std::size_t i, std::size_t j) const;
  double rmsd(std::size_t i, std::size_t j) const;
  // aligned_pairs of entry [i][j]: (residue of i, residue of j).
  std::vector<ResiduePair> pairs(std::size_t i, std::size_t j) const;
  // The whole entry [i][j], mirror and self entries included.
  PairwiseAlignment entry(std::size_t i, std::size_t j) const;

 private:
  const PairwiseAlignment& upper(std::size_t i, std::size_t j) const;

  std::vector<std::size_t> lengths_;
  std::vector<PairwiseAlignment> upper_;  // row-major over i < j
};

// Aligns every pair i < j (domain i first, in the given frames) with the
// iterative aligner, on the threads `control` allows; the first failing pair
// in row-major order ends the run with its error.
Result<PairwiseMatrix> build_pairwise_matrix(const std::vector<Domain>& domains, const Parameters& parameters,
                                             const RunControl& control = {});

}  // namespace pelda
