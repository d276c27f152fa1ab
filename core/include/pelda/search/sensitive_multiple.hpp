// Multiple alignment built on sensitive pairwise alignments.
#pragma once

#include <cstddef>
#include <vector>

#include "pelda/error.hpp"
#include "pelda/io/domain.hpp"
#include "pelda/pairwise/pairwise_matrix.hpp"
#include "pelda/pairwise/parameters.hpp"
#include "pelda/parallel/run_items.hpp"
#include "pelda/treewise/align_set.hpp"
#include "pelda/treewise/multiple_alignment.hpp"

namespace pelda {

// One matrix entry: domain2 aligned onto domain1 in sensitive mode. The pairs
// are the structural alignment, the score the larger of the two TM-scores
// (the one normalised by the shorter chain), the transform moves domain2
// onto domain1, and seq_identity is a percentage as in the aligner's entries.
PairwiseAlignment sensitive_pair(const Domain& domain1, const Domain& domain2, const Parameters& params);

// sensitive_pair for every i < j, on the threads `control` allows; fails
// only when `control` stops the run.
Result<PairwiseMatrix> build_sensitive_matrix(const std::vector<Domain>& domains, const Parameters& params,
                                              const RunControl& control = {});

// Guide tree on the TM-scores, columns merged along the structural
// alignments, and transforms that move every domain into the frame of
// domains[reference]: each starts from the pair's superposition and is
// refitted on the residues the columns put together with the reference's.
Result<MultipleAlignment> align_multiple_sensitive(const std::vector<Domain>& domains, const Parameters& params,
                                                   std::size_t reference = 0, const RunControl& control = {});

// A whole set brought into the frame of domains[reference]: the pair
// superpositions onto the reference as pre-alignment transforms, then the
// multiple alignment of the moved domains.
Result<AlignedSet> align_set_sensitive(const std::vector<Domain>& domains, const Parameters& params,
                                         std::size_t reference, const RunControl& control = {});

}  // namespace pelda
