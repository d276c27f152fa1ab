#include "pelda/pairwise/parameters.hpp"

#include <cmath>
#include <utility>

namespace pelda {

Status check_parameters(const Parameters& p) {
  const std::pair<const char*, double> reals[] = {{"e1", p.e1},
                                                  {"e2", p.e2},
                                                  {"gap_open", p.gap_open},
                                                  {"gap_extend", p.gap_extend},
                                                  {"cutoff_dist", p.cutoff_dist},
                                                  {"score_cutoff", p.score_cutoff},
                                                  {"convergence", p.convergence}};
  for (const auto& [name, value] : reals)
    if (std::isnan(value)) return make_error(ErrorKind::Value, std::string("Parameter ") + name + " is NaN");
  return {};
}

// The members not set here are fixed by their defaults.
AlignmentConfig AlignmentConfig::from_parameters(const Parameters& p) {
  return {.convergence_pct = p.convergence * 100.0,
          .gap_penalty = p.gap_open,
          .cutoff_dist = p.cutoff_dist,
          .pair_cutoff = p.cutoff_dist + 0.5,
          .e1 = p.e1,
          .e2 = p.e2,
          .max_iter = p.max_iter};
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
