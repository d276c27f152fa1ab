#include "pelda/pairwise/pairwise_alignment.hpp"

#include <cmath>

namespace pelda {

std::vector<double> pair_distances(const std::vector<ResiduePair>& pairs, const PointList& coords1,
                                   const PointList& coords2, const Transform& transform) {
  std::vector<double> out;
  out.reserve(pairs.size());
  for (const auto& [i, j] : pairs) {
    const Vec3 d = coords1[i] - transform.apply(coords2[j]);
    out.push_back(std::sqrt(dot(d, d)));
  }
  return out;
}

double seq_identity_percent(const std::vector<ResiduePair>& pairs, const std::vector<double>& distances,
                            std::u32string_view types1, std::u32string_view types2, double pair_cutoff) {
  const auto close = [&](std::size_t k) { return k < distances.size() && distances[k] <= pair_cutoff; };
  std::size_t counted = 0, same = 0;
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    if (!close(k)) continue;
    std::size_t neighbours = 0;
    for (std::size_t p = k + 1; p <= k + 5 && close(p); ++p) ++neighbours;
    for (std::size_t back = 1; back <= 4 && back <= k && close(k - back); ++back) ++neighbours;
    if (neighbours < 2) continue;
    ++counted;
    if (types1[pairs[k].first] == types2[pairs[k].second]) ++same;
  }
  return counted == 0 ? 0.0 : double(same) * 100.0 / double(counted);
}

}  // namespace pelda
