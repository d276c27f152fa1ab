// Residue-pair similarity of two C-alpha traces (distance and local conformation).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "pelda/math/vec.hpp"
#include "pelda/pairwise/parameters.hpp"

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
};

struct SimilarityMatrix {
  std::vector<double> values;  // rows x cols, row-major
  std::size_t rows = 0, cols = 0;
  std::optional<double> mean, sd;
  bool normalized = false;

  double at(std::size_t i, std::size_t j) const { return values[i * cols + j]; }
};

// Cells inside the diagonal band only; the rest score as unevaluated.
SimilarityMatrix similarity_banded(const PointList& coords1, const PointList& coords2,
                                   const SimilarityContext& ctx);
// Every cell.
SimilarityMatrix similarity_full(const PointList& coords1, const PointList& coords2,
                                 const SimilarityContext& ctx);

}  // namespace pelda
