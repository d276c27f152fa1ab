#include "pelda/scoring/band.hpp"

#include <algorithm>
#include <cstdint>

namespace pelda {

double adjusted_band_width(double base, std::size_t n, std::size_t m) {
  const auto diff = static_cast<std::int32_t>(static_cast<std::uint32_t>(n) - static_cast<std::uint32_t>(m));
  const std::int64_t widen = std::int64_t(diff) - 4;
  return base + double(widen < 0 ? -widen : widen);
}

Band make_band(double width, double t, double u) {
  const double h = ((width / std::sqrt(2.0)) * (t / u + u / t)) / std::sqrt(t * t + u * u);
  return {t, u, h};
}

void BandTable::build(const Band& band, std::size_t rows, std::size_t cols) {
  row_frac.resize(rows);
  col_frac.resize(cols);
  for (std::size_t r = 0; r < rows; ++r) row_frac[r] = double(r) / band.t;
  for (std::size_t c = 0; c < cols; ++c) col_frac[c] = double(c) / band.u;
  h = band.h;
}

void cycle_band(std::size_t n, std::size_t m, double band_width, BandTable& table, std::vector<Span>& out) {
  table.build(make_band(adjusted_band_width(band_width, n, m), double(n + 2), double(m + 2)), n + 2, m + 2);
  band_runs(table.col_frac.data() + 1, m, table.row_frac.data(), 1, n + 1, table.h, out);
}

void band_runs(const double* line_frac, std::size_t lines, const double* pos_frac, std::size_t first,
               std::size_t end, double h, std::vector<Span>& out) {
  out.assign(lines, Span{});
  if (std::isnan(h)) return;
  // |x| <= h is -h <= x <= h; lo is the first position with x >= -h, hi the
  // first with x > h (x = pos_frac[p] - line_frac[k], falling as k grows).
  // The carried start never passes lo, so every run starts at lo.
  std::size_t lo = first, hi = first;
  for (std::size_t k = 0; k < lines; ++k) {
    const double a = line_frac[k];
    while (lo < end && pos_frac[lo] - a < -h) ++lo;
    if (hi < lo) hi = lo;
    while (hi < end && pos_frac[hi] - a <= h) ++hi;
    if (lo < hi) out[k] = {lo, hi};
  }
}

}  // namespace pelda
