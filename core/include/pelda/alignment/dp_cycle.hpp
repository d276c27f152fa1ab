// One alignment cycle: banded integer dynamic programming, traceback and fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "pelda/math/transform.hpp"
#include "pelda/math/vec.hpp"
#include "pelda/pairwise/pairwise_alignment.hpp"
#include "pelda/pairwise/parameters.hpp"
#include "pelda/scoring/band.hpp"
#include "pelda/scoring/similarity.hpp"

namespace pelda {

struct CycleResult {
  std::vector<ResiduePair> core_pairs;     // traced pairs with similarity >= 0.3
  std::vector<double> residue_similarity;  // per first-structure residue, -1 elsewhere
  Transform transform;                     // fit of coords2 onto coords1 at the core pairs
  double rmsd = 100.0;
  double score = 0.0;
  std::size_t path_length = 0;
  std::size_t core_count = 0;
  ResiduePair first_range{0, 0}, second_range{0, 0};
};

// The local path through one DP cell: where it started and where its
// running maximum lies, each as a cell number c * (n + 2) + r of the n x m
// matrix (see `DpWorkspace::cell`). A cell with value 0 has none (all zero).
struct DpPath {
  std::uint64_t start = 0, peak = 0;
  std::int32_t max = 0;
};

// One column of DP cells as parallel arrays indexed by row: each cell's
// value and its path record. The cell numbers take 32 bits where the matrix
// has at most 2^32 cells; larger matrices keep them in the wide arrays.
struct DpColumn {
  std::vector<std::int32_t> value, max;
  std::vector<std::uint32_t> start, peak;
  std::vector<std::uint64_t> wide_start, wide_peak;  // empty unless wide

  void reset(std::size_t rows, bool wide);       // every cell 0
  void clear(std::size_t from, std::size_t to);  // rows [from, to) to 0
  void clear_values(std::size_t from, std::size_t to);
  void clear_records(std::size_t from, std::size_t to);
};

// A recorded fragment: a path whose maximum reached the threshold. Only the
// first entry per start cell can ever be chosen (later ones with the same
// start never score higher), so one slot per start is kept; `next` chains the
// slots of one start row.
struct DpFragment {
  DpPath path;
  std::int32_t next = -1;
};

// Buffers of the dynamic programming, reused across cycles: two columns of
// cells, one direction byte per band cell (column after column), the
// fragments. The band is kept while the matrix shape stays the same.
struct DpWorkspace {
  DpColumn columns[2];
  std::vector<std::uint32_t> steps;  // per row of a column: direction bits and work left for later
  std::vector<std::uint8_t> directions;
  std::vector<std::size_t> direction_start;  // per column c = 1..m (entry c - 1)
  std::size_t band_rows = 0, band_cols = 0;
  double band_width = -1.0;
  BandTable band_table;
  std::vector<Span> band;  // rows processed in column c = 1..m (entry c - 1)
  std::vector<std::int32_t> row_heads;
  std::vector<DpFragment> fragments;
  std::vector<ResiduePair> traced;          // diagonal steps of the traceback, last first
  std::vector<std::int32_t> traced_scores;  // and their scores
  PointList fixed, mobile;
  // Whether columns may take the one-pass vector loop where the processor
  // has it (the same results; off to check the portable loop).
  bool vector_columns = true;
  // Whether path records take 32 bits where the matrix allows (off to check
  // the wide form).
  bool narrow_records = true;
  std::size_t stride = 0;  // n + 2 of the last cycle

  // The number of cell (r, c), and back.
  std::uint64_t cell(std::size_t r, std::size_t c) const { return std::uint64_t(c) * stride + r; }
  std::size_t row_of(std::uint64_t cell) const { return std::size_t(cell % stride); }
  std::size_t col_of(std::uint64_t cell) const { return std::size_t(cell / stride); }

  // Direction bits of cell (r, c) of the last cycle; 0 outside the band.
  std::uint8_t direction(std::size_t r, std::size_t c) const {
    if (c == 0 || c > band.size()) return 0;
    const Span s = band[c - 1];
    return r >= s.lo && r < s.hi ? directions[direction_start[c - 1] + (r - s.lo)] : 0;
  }
};

// Direction bits.
inline constexpr std::uint8_t kFromDiagonal = 1, kFromLeft = 2, kFromAbove = 4;

// The cycle on a similarity matrix (n x m for coords1 x coords2). A matrix of
// other dimensions gives the empty result.
CycleResult dp_cycle(const PointList& coords1, const PointList& coords2, const SimilarityMatrix& similarity,
                     const AlignmentConfig& config);

// The cycle on integer scores already converted.
CycleResult dp_cycle(const PointList& coords1, const PointList& coords2, const ScoreMatrix& scores,
                     const AlignmentConfig& config, DpWorkspace& ws);

// Computes columns from..to-1 (1-based) of the score matrix.
using ColumnFeed = std::function<void(std::size_t from, std::size_t to)>;

// The cycle on scores computed a few columns ahead of the dynamic
// programming, so that it reads them from the cache (the aligner's path).
// `scores` holds its layout and a bound of its values; `feed` fills it.
CycleResult dp_cycle(const PointList& coords1, const PointList& coords2, const ScoreMatrix& scores,
                     const AlignmentConfig& config, DpWorkspace& ws, const ColumnFeed& feed);

}  // namespace pelda
