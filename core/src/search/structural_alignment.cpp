#include "pelda/search/structural_alignment.hpp"

#include <algorithm>
#include <cmath>

#include "pelda/search/gap_open_dp.hpp"

namespace pelda {

double tm_d0(std::size_t length) {
  if (length <= 21) return 0.5;
  return std::max(0.5, 1.24 * std::cbrt(double(length) - 15.0) - 1.8);
}

StructuralAlignment structural_alignment(const PointList& fixed, const PointList& moved, std::u32string_view types1,
                                         std::u32string_view types2) {
  const std::size_t n = fixed.size(), m = moved.size();
  StructuralAlignment out;
  if (n == 0 || m == 0) return out;
  const double d0 = tm_d0(std::min(n, m));
  const float inv_d0_sq = float(1.0 / (d0 * d0));
  std::vector<float> mx(m), my(m), mz(m);
  for (std::size_t j = 0; j < m; ++j) {
    mx[j] = float(moved[j].x);
    my[j] = float(moved[j].y);
    mz[j] = float(moved[j].z);
  }
  GapOpenWorkspace ws;
  const GapOpenAlignment dp = gap_open_align(
      n, m,
      [&](std::size_t i, float* row) {
        tm_term_row(float(fixed[i].x), float(fixed[i].y), float(fixed[i].z), mx.data(), my.data(), mz.data(), m,
                    inv_d0_sq, row);
      },
      kStructuralGapOpen, ws);

  const double d01 = tm_d0(n), d02 = tm_d0(m);
  double squares = 0.0, tm1 = 0.0, tm2 = 0.0;
  std::size_t same = 0;
  const bool typed = types1.size() == n && types2.size() == m;
  for (const auto& [i, j] : dp.pairs) {
    const Vec3 d = fixed[i] - moved[j];
    const double d2 = dot(d, d);
    tm1 += 1.0 / (1.0 + d2 / (d01 * d01));
    tm2 += 1.0 / (1.0 + d2 / (d02 * d02));
    if (!(d2 < kStructuralPairCutoff * kStructuralPairCutoff)) continue;
    out.pairs.emplace_back(i, j);
    squares += d2;
    if (typed && types1[i] == types2[j]) ++same;
  }
  out.tm_score = tm1 / double(n);
  out.tm_score_mobile = tm2 / double(m);
  if (out.pairs.empty()) return out;
  const double k = double(out.pairs.size());
  out.rmsd = std::sqrt(squares / k);
  out.seq_identity = typed ? double(same) / k : 0.0;
  return out;
}

}  // namespace pelda
