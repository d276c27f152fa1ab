// The diagonal band that limits residue similarity and dynamic programming.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace pelda {

// Half-open run [lo, hi) of positions in one line of a band; empty when lo == hi.
struct Span {
  std::size_t lo = 0, hi = 0;
  bool empty() const { return lo == hi; }
};

// Cell (row, col) of a t-by-u frame lies in the band when |col/u - row/t| <= h.
struct Band {
  double t = 1.0, u = 1.0, h = 0.0;

  bool contains(std::size_t row, std::size_t col) const {
    return std::fabs(double(col) / u - double(row) / t) <= h;
  }
};

// The same test with every division done once per row and per column
// (the quotients, and so the answers, are bit-identical to Band::contains).
struct BandTable {
  std::vector<double> row_frac, col_frac;  // row / t, col / u
  double h = 0.0;

  void build(const Band& band, std::size_t rows, std::size_t cols);
  bool contains(std::size_t row, std::size_t col) const { return std::fabs(col_frac[col] - row_frac[row]) <= h; }
};

// base + |(n - m) - 4|, with n - m taken as a signed 32-bit value: equal
// lengths widen the band by 4.
double adjusted_band_width(double base, std::size_t n, std::size_t m);

// h = ((w / sqrt 2) (t/u + u/t)) / sqrt(t^2 + u^2).
Band make_band(double width, double t, double u);

// Rows r processed in each column c = 1..m (entry c - 1) of the dynamic
// programming's padded (n + 2) x (m + 2) matrix.
void cycle_band(std::size_t n, std::size_t m, double band_width, BandTable& table, std::vector<Span>& out);

// The in-band run of every line: position p of line k is in the band when
// |pos_frac[p] - line_frac[k]| <= h. Each line starts at the first in-band
// position of the last line that had one (`first` for the first line), skips
// out-of-band positions up to `end`, then takes the run of in-band positions;
// a line without any keeps the carried start. Both fractions increase, so a
// line's in-band positions form one run whose ends never move back: two
// pointers find them in O(lines + positions) with the exact test.
void band_runs(const double* line_frac, std::size_t lines, const double* pos_frac, std::size_t first,
               std::size_t end, double h, std::vector<Span>& out);

}  // namespace pelda
