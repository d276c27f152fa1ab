#include "pelda/search/sensitive_align.hpp"

#include "pelda/pairwise/align_pair.hpp"
#include "pelda/search/start_search.hpp"

namespace pelda {

SensitiveAlignment sensitive_align(const Domain& domain1, const Domain& domain2, const Parameters& params) {
  SensitiveAlignment out;
  if (domain1.size() < 3 || domain2.size() < 3) return out;
  const PointList x = coordinates(domain1), y = coordinates(domain2);
  const std::u32string types1 = residue_types(domain1.residues), types2 = residue_types(domain2.residues);
  const AlignmentConfig config = AlignmentConfig::from_parameters(params);
  const StartSearch search = search_starts(x, y, config);

  out.transform = search.best.transform;
  AlignWorkspace ws;
  for (const Transform& start : search.starts) {
    PairwiseAlignment a = align_traces(x, start.apply(y), types1, types2, config, ws);
    if (a.score > out.aligner.score) {
      out.transform = a.transform.compose(start);
      out.aligner = std::move(a);
    }
  }
  out.structure = structural_alignment(x, out.transform.apply(y), types1, types2);
  return out;
}

}  // namespace pelda
