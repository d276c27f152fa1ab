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
  // The aligner keeps a path only when its first cycle finds one worth
  // min_length x cutoff_dist similarity units; a start whose path proxy
  // reaches half of that is worth a run (on the shipped families no start
  // below 25 of the 30 units held).
  const double worth_a_run = 0.5 * double(config.min_length) * config.cutoff_dist;
  AlignWorkspace& ws = thread_workspace();
  for (std::size_t k = 0; k < search.starts.size(); ++k) {
    if (search.proxies[k] < worth_a_run) continue;
    const Transform& start = search.starts[k];
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
