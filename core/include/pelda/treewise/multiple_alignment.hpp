// Multiple structural alignment of a list of domains.
#pragma once

#include <cstddef>
#include <vector>

#include "pelda/error.hpp"
#include "pelda/io/domain.hpp"
#include "pelda/math/transform.hpp"
#include "pelda/pairwise/pairwise_matrix.hpp"
#include "pelda/pairwise/parameters.hpp"
#include "pelda/treewise/column.hpp"

namespace pelda {

struct MultipleAlignment {
  // One identity per domain: the alignment moves no structure.
  std::vector<Transform> transforms;
  std::vector<std::size_t> core_positions;  // columns holding every domain, ascending
  std::vector<Column> columns;
  double score = 0.0;     // n_core / n_columns
  double avg_rmsd = 0.0;  // mean pairwise RMSD over i < j

  std::size_t n_columns() const { return columns.size(); }
  std::size_t n_core() const { return core_positions.size(); }
};

// All pairs aligned once (on the threads `control` allows), guide tree,
// treewise columns. Fails with the first pairwise error, when `control` stops
// the run, or when the scores leave no finite distance to cluster on.
Result<MultipleAlignment> align_multiple(const std::vector<Domain>& domains, const Parameters& parameters,
                                         const RunControl& control = {});

// The steps after the pairwise runs, for two or more domains whose
// alignments are already in `matrix`.
Result<MultipleAlignment> multiple_from_matrix(const std::vector<Domain>& domains, const PairwiseMatrix& matrix);

}  // namespace pelda
