#include "pelda/pairwise/parameters.hpp"

namespace pelda {

AlignmentConfig AlignmentConfig::from_parameters(const Parameters& p) {
  AlignmentConfig c;
  c.convergence_pct = p.convergence * 100.0;
  c.min_length = 3;
  c.gap_penalty = p.gap_open;
  c.band_width = 100.0;
  c.cutoff_dist = p.cutoff_dist;
  c.pair_cutoff = p.cutoff_dist + 0.5;
  c.e1 = p.e1;
  c.e2 = p.e2;
  c.norm_mean = 0.5;
  c.norm_sd = 0.4;
  c.rmsd_tolerance = 0.01;
  c.max_iter = p.max_iter;
  c.precision = 1000;
  return c;
}

ScanConfig ScanConfig::from_parameters(const Parameters& p, std::size_t slide) {
  ScanConfig c;
  c.slide = slide;
  c.skip_score = 2.0;
  c.min_ratio = 0.5;
  c.max_ratio = 1.3;
  c.e1 = p.e1;
  c.e2 = p.e2;
  c.gap_open = p.gap_open;
  c.cutoff_dist = p.cutoff_dist;
  c.convergence = p.convergence;
  c.n_passes = p.n_passes;
  c.max_iter = p.max_iter;
  c.truncate = true;
  c.skip_ahead = true;
  return c;
}

}  // namespace pelda
