// Placeholder until the iterative aligner lands: returns the empty result.
#include "pelda/pairwise/align_pair.hpp"

namespace pelda {

Result<PairwiseAlignment> align_pair(const std::vector<Residue>&, const std::vector<Residue>&,
                                     const AlignmentConfig&) {
  return make_error(ErrorKind::AlignmentFailed, "not implemented yet");
}

}  // namespace pelda
