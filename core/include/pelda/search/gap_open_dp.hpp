// Global order-preserving alignment with a cost per gap run and free extension.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "pelda/pairwise/pairwise_alignment.hpp"

namespace pelda {

// Fills row i (0-based) of the score matrix: out[j] for every column j.
using ScoreRow = std::function<void(std::size_t i, float* out)>;

// Buffers of the alignment, reusable by later calls.
struct GapOpenWorkspace {
  std::vector<float> h, h_next, e, row, last_column;
  std::vector<float> g;                 // per cell: G, to find where a row gap leaves from
  std::vector<std::uint32_t> moves;     // per group of columns: which case gave H, G and E
  std::size_t row_width = 0;            // 4 forces four columns at a time; else the widest the processor runs
};

struct GapOpenAlignment {
  std::vector<ResiduePair> pairs;
  double score = 0.0;
};

// Maximises the sum of the aligned scores minus `gap_open` per run of skipped
// residues (a run in each chain costs once). The recurrence, 1-based, with
// H = 0 on row 0 and column 0:
//   D = H(i-1,j-1) + S(i,j);  E(i,j) = max(H(i-1,j) - g, E(i-1,j));  G = max(D, E)
//   F(i,j) = max over k < j of G(i,k), minus g;  H = max(G, F)
// The path ends at the best cell of the last row, or of the last column when
// that is strictly better. Ties: D before E, G before F, the nearest k for F,
// opening before extending E, the first cell in a row or column scan.
// Sums are kept in single precision, four or eight columns at a time (the
// same result either way).
GapOpenAlignment gap_open_align(std::size_t n, std::size_t m, const ScoreRow& scores, double gap_open,
                                GapOpenWorkspace& ws);

// One row of TM terms: out[j] = 1 / (1 + |p - q_j|^2 * inv_d0_sq) for the
// points q_j in columns qx, qy, qz; single precision, the same result on
// every processor (eight at a time where it has AVX2).
void tm_term_row(float px, float py, float pz, const float* qx, const float* qy, const float* qz, std::size_t m,
                 float inv_d0_sq, float* out);

// The same on a row-major n x m matrix.
GapOpenAlignment gap_open_align(const std::vector<double>& matrix, std::size_t n, std::size_t m, double gap_open,
                                std::size_t row_width = 0);

}  // namespace pelda
