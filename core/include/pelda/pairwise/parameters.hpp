// User-level alignment parameters and the configurations derived from them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pelda/error.hpp"

namespace pelda {

struct Parameters {
  std::uint32_t n_passes = 2;
  double e1 = 2.0;
  double e2 = 5.0;
  double gap_open = 3.0;
  double gap_extend = 0.5;  // kept for callers; the aligner uses one linear penalty
  bool use_secondary = true;
  std::uint32_t max_iter = 100;
  double cutoff_dist = 10.0;
  double score_cutoff = 2.0;
  double convergence = 0.01;
  std::uint32_t verbosity = 1;
  // Carried along with the record but read by no operation.
  std::size_t reserved_count = 10;
  std::uint32_t reserved_limit = 30;
};

// Refuses parameters holding NaN, naming the attribute. Other values, negative
// ones included, are the caller's choice.
Status check_parameters(const Parameters& p);

// Configuration of one run of the iterative aligner.
struct AlignmentConfig {
  double convergence_pct = 1.0;
  std::size_t min_length = 3;
  double gap_penalty = 3.0;
  double band_width = 100.0;
  double cutoff_dist = 10.0;
  double pair_cutoff = 10.5;
  double e1 = 2.0, e2 = 5.0;
  double norm_mean = 0.5, norm_sd = 0.4;
  double rmsd_tolerance = 0.01;
  std::uint32_t max_iter = 100;
  std::uint32_t precision = 1000;

  static AlignmentConfig from_parameters(const Parameters& p);
};

// Configuration of the sliding-window search for a starting superposition.
struct ScanConfig {
  std::size_t slide = 5;
  double skip_score = 2.0;
  double min_ratio = 0.5;
  double max_ratio = 1.3;
  double e1 = 2.0, e2 = 5.0;
  double gap_open = 3.0;
  double cutoff_dist = 10.0;
  double convergence = 0.01;
  std::uint32_t n_passes = 2;
  std::uint32_t max_iter = 100;
  bool truncate = true;
  bool skip_ahead = true;

  static ScanConfig from_parameters(const Parameters& p, std::size_t slide = 5);
};

}  // namespace pelda
