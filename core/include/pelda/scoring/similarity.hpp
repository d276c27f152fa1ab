// Residue-pair similarity of two C-alpha traces (distance and local conformation).
#pragma once

#include <cstddef>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "pelda/math/vec.hpp"
#include "pelda/pairwise/parameters.hpp"
#include "pelda/scoring/band.hpp"

namespace pelda {

struct SimilarityContext {
  double e1 = 2.0, e2 = 5.0;
  double dist_denominator = -8.0;   // -2 e1^2
  double conf_denominator = -50.0;  // -2 e2^2
  double norm_mean = 0.5, norm_sd = 0.4;
  double band_width = 100.0;
  std::int32_t precision = 1000;
  bool band_adjust = true;

  static SimilarityContext from_config(const AlignmentConfig& config);

  // |norm_sd| >= 1e-10: the matrix is shifted and scaled.
  bool normalizes() const;
  // The value an entry x ends up with.
  double normalize(double x) const { return normalizes() ? (x - norm_mean) / norm_sd : x; }
};

struct SimilarityMatrix {
  std::vector<double> values;  // rows x cols, row-major
  std::size_t rows = 0, cols = 0;
  std::optional<double> mean, sd;
  bool normalized = false;

  double at(std::size_t i, std::size_t j) const { return values[i * cols + j]; }
};

// A trace on the integer grid (coordinate x precision, rounded), kept as
// doubles: every coordinate and every difference used by the kernel is an
// integer below 2^35, so double arithmetic reproduces integer arithmetic
// exactly while letting the kernel vectorise.
struct IntegerTrace {
  std::vector<double> x, y, z;     // position
  std::vector<double> bx, by, bz;  // previous residue minus this one
  std::vector<double> fx, fy, fz;  // next residue minus this one
  std::vector<double> has_back, has_fwd;  // 1.0 where that neighbour exists

  std::size_t size() const { return x.size(); }
};

void to_integer_trace(const PointList& coords, std::int32_t precision, IntegerTrace& out);

// P of residue i of `a` and residue j of `b` (before normalisation).
double pair_similarity(const IntegerTrace& a, const IntegerTrace& b, std::size_t i, std::size_t j,
                       const SimilarityContext& ctx);

// Evaluated cells of the banded matrix: one span of columns per row.
void similarity_band_rows(std::size_t n, std::size_t m, const SimilarityContext& ctx, BandTable& table,
                          std::vector<Span>& rows);

// Cells inside the diagonal band only; the rest score as unevaluated.
SimilarityMatrix similarity_banded(const PointList& coords1, const PointList& coords2,
                                   const SimilarityContext& ctx);
// Every cell.
SimilarityMatrix similarity_full(const PointList& coords1, const PointList& coords2,
                                 const SimilarityContext& ctx);

// Integer score matrix of the dynamic programming: S = nearest(similarity x
// precision) for residues 1..rows x 1..cols, with a zero border (row and
// column 0 and rows + 1). Each column holds one run of rows, stored column
// after column; interior cells outside the runs score `outside`.
struct ScoreMatrix {
  std::size_t rows = 0, cols = 0;
  std::vector<Span> held;           // rows held by column c = 1..cols (entry c - 1)
  std::vector<std::size_t> start;   // index in `values` of each column's first held row
  std::vector<std::int32_t> values;
  std::int32_t outside = 0;
  // No held value is larger, when its producer recorded it; set() and
  // reset() forget it, a writer through column() keeps it true.
  std::optional<std::int32_t> top;

  std::int32_t at(std::size_t r, std::size_t c) const {
    if (r == 0 || c == 0 || r > rows || c > cols) return 0;
    const Span h = held[c - 1];
    return r >= h.lo && r < h.hi ? values[start[c - 1] + (r - h.lo)] : outside;
  }
  // Held cells only.
  void set(std::size_t r, std::size_t c, std::int32_t v) {
    values[start[c - 1] + (r - held[c - 1].lo)] = v;
    top.reset();
  }
  // Column c from its first held row on.
  const std::int32_t* column(std::size_t c) const { return values.data() + start[c - 1]; }
  std::int32_t* column(std::size_t c) { return values.data() + start[c - 1]; }

  void reset(std::size_t n, std::size_t m);  // every cell held, zero; keeps capacity
  // Holds `runs` (entry c - 1 for column c, rows within 1..n), uninitialised.
  void reset(std::size_t n, std::size_t m, const std::vector<Span>& runs, std::int32_t outside_value);
};

// The band of one matrix shape, kept while the shape stays the same.
struct SimilarityBand {
  std::size_t n = 0, m = 0;
  double width = -1.0;
  bool adjust = false;
  bool by_columns = false;  // `columns` holds every evaluated cell
  BandTable table;
  std::vector<Span> rows, columns;
  std::vector<Span> held;  // per column c = 1..m: evaluated rows and the cycle's band, 1-based
};

// Spheres around blocks of consecutive residues: centre and reach squared.
struct BlockSpheres {
  std::vector<double> x, y, z, reach;
  // The same in single precision about `origin`, each reach widened to
  // cover the roundings.
  std::vector<float> fx, fy, fz, freach;
  Vec3 origin;
};

// Constants of the kernel in one evaluation. Without normalisation mean 0
// and sd 1 leave every value exactly as it is.
struct SimilarityKernel {
  double precision_sq, dist_denominator, conf_denominator, mean, sd;
  // Exponents below this give a P so far under half an ulp of `mean` that
  // P - mean is exactly -mean: the exponential need not be evaluated.
  double negligible_below;
};

// The integer scores by a shorter route: the exponent from products with
// the reciprocal denominators and the exponential from a polynomial, both far
// within 1e-10 (relative) of the kernel's own numbers, then the scaled score
// y. The kernel's value lies within `margin` of y (a thousand times the
// error bound), so y rounds to the kernel's integer unless a half-integer
// lies within `margin` of it; such cells, and nothing else, take the kernel.
struct ShortRoute {
  double dist_factor, conf_factor;  // 1 / (precision^2 denominator)
  double scale, shift;              // y = P scale + shift
  double margin;
};

// What every column of one evaluation shares, worked out before the first.
struct ScorePlan {
  SimilarityKernel kernel{};
  double precision = 0.0;
  double far_distance = INFINITY;  // squared distances from here on score far_score
  std::int32_t far_score = 0;      // the score of P = 0
  std::int32_t unevaluated = 0;    // held cells outside the evaluated run
  std::optional<ShortRoute> route;
};

// Scratch reused between evaluations.
struct SimilarityScratch {
  ScorePlan plan;
  // Whether columns may take the vector path where the processor has it
  // (the same scores; off to check the portable one).
  bool vector_columns = true;
  SimilarityBand band;
  std::vector<double> line;
  BlockSpheres spheres;
  std::vector<std::int64_t> within;   // per block of a column: -1 within reach, else 0
  std::vector<std::uint32_t> listed;  // blocks of a column within reach
};

// The banded, normalised similarity of `a` against `b` straight into integer
// scores: the same numbers as similarity_banded followed by the conversion,
// without the double matrix.
void banded_scores(const IntegerTrace& a, const IntegerTrace& b, const SimilarityContext& ctx,
                   std::uint32_t precision, ScoreMatrix& out, SimilarityScratch& scratch);

// The same in two steps, for a consumer that reads the columns in order
// while they are still in the cache. prepare_banded_scores lays out `out`,
// with `top` an upper bound of the scores to come, and returns true when
// columns remain to be computed; banded_score_columns then computes columns
// from..to-1 (1-based), in any order, each once.
bool prepare_banded_scores(const IntegerTrace& a, const IntegerTrace& b, const SimilarityContext& ctx,
                           std::uint32_t precision, ScoreMatrix& out, SimilarityScratch& scratch);
void banded_score_columns(const IntegerTrace& a, const IntegerTrace& b, ScoreMatrix& out, SimilarityScratch& scratch,
                          std::size_t from, std::size_t to);

// Conversion of an existing similarity matrix.
void scores_from_matrix(const SimilarityMatrix& matrix, std::uint32_t precision, ScoreMatrix& out);

}  // namespace pelda
