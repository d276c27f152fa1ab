#include "pelda/pairwise/pairwise_alignment.hpp"

namespace pelda {

double seq_identity_percent(const std::vector<ResiduePair>& pairs, const std::vector<double>& residue_similarity,
                            std::u32string_view types1, std::u32string_view types2, double pair_cutoff) {
  const std::vector<double>& v = residue_similarity;
  const auto reaches = [&](std::size_t k) { return k < v.size() && v[k] >= pair_cutoff; };
  std::size_t counted = 0, same = 0;
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    const double here = k < v.size() ? v[k] : -1.0;
    if (!(here >= pair_cutoff)) continue;
    std::size_t neighbours = 0;
    for (std::size_t p = k + 1; p <= k + 5 && reaches(p); ++p) ++neighbours;
    for (std::size_t back = 1; back <= 4 && back <= k && reaches(k - back); ++back) ++neighbours;
    if (neighbours < 2) continue;
    ++counted;
    if (types1[pairs[k].first] == types2[pairs[k].second]) ++same;
  }
  return counted == 0 ? 0.0 : double(same) * 100.0 / double(counted);
}

}  // namespace pelda
