#include "pelda/scan/scan_align.hpp"

#include <algorithm>
#include <cmath>

#include "pelda/math/superpose.hpp"
#include "pelda/pairwise/align_pair.hpp"

namespace pelda {
namespace {

// Residues of the mobile structure that the search keeps, or 0 when the
// structure is too short to be searched at all.
std::size_t searched_length(std::size_t n1, std::size_t n2, const ScanConfig& config, std::size_t* cut) {
  *cut = n2;
  if (double(n2) < std::floor(config.min_ratio * double(n1))) return 0;
  if (config.truncate) {
    const double cap = std::floor(config.max_ratio * double(n1));
    if (cap < double(n2)) *cut = cap > 0.0 ? std::size_t(cap) : 0;
  }
  return *cut;
}

// The state of the search: the best run so far and the transform that
// produced its input.
struct Best {
  double score = -INFINITY;
  std::optional<PairwiseAlignment> alignment;
  Transform transform;
  std::size_t offset = 0;
};

// Start of the window after a run that became the best: a significant run
// lets the search skip past the residues it aligned.
std::size_t skip(std::size_t step, std::size_t n_aligned) {
  std::size_t y = n_aligned > step ? n_aligned - step : 0;
  y -= y % step;
  return y > step ? y : step;
}

ScanOutcome outcome_of(Best best, std::size_t n1, std::size_t n2, const ScanConfig& config) {
  ScanOutcome out;
  out.n1 = n1;
  out.n2 = n2;
  if (!best.alignment) return out;
  const PairwiseAlignment& a = *best.alignment;
  out.transform = best.transform;
  out.score = a.score;
  out.rmsd = a.rmsd;
  out.seq_identity = a.seq_identity / 100.0;
  out.path_length = a.path_length;
  out.n_aligned = a.n_aligned;
  out.offset = best.offset;
  out.significant = a.score >= config.skip_score;
  out.best = std::move(best.alignment);
  return out;
}

}  // namespace

// Both keep the fixed members at their defaults (minimum length 3, band
// width 100, normalisation 0.5/0.4, RMSD tolerance 0.01, precision 1000).
AlignmentConfig scan_run_config(const ScanConfig& config) {
  return {.convergence_pct = config.convergence * 100.0,
          .gap_penalty = config.gap_open,
          .cutoff_dist = config.cutoff_dist,
          .pair_cutoff = 4.5,
          .e1 = config.e1,
          .e2 = config.e2,
          .max_iter = config.max_iter};
}

AlignmentConfig scan_refinement_config() {
  return {.convergence_pct = 0.01,
          .gap_penalty = 0.0,
          .cutoff_dist = 4.0,
          .pair_cutoff = 4.5,
          .e1 = 1.0,
          .e2 = 2.5,
          .max_iter = 100};
}

Result<ScanOutcome> scan_align(const Domain& domain1, const Domain& domain2, const ScanConfig& config) {
  const std::size_t n1 = domain1.size();
  std::size_t n2 = 0;
  const std::size_t kept = searched_length(n1, domain2.size(), config, &n2);
  const std::size_t m = std::min(n1, kept);
  if (m < 3) return outcome_of(Best{}, n1, n2, config);

  const PointList coords1 = coordinates(domain1);
  PointList coords2 = coordinates(domain2);
  coords2.resize(n2);
  const std::u32string types1 = residue_types(domain1.residues);
  std::u32string types2 = residue_types(domain2.residues);
  types2.resize(n2);

  const AlignmentConfig run = scan_run_config(config);
  const std::size_t step = std::max<std::size_t>(config.slide, 1);
  const std::size_t end = n2 - m / 2;
  AlignWorkspace ws;
  PointList moved(n2);
  Best best;
  for (std::size_t s = 0; s < end;) {
    std::size_t advance = step;
    const std::size_t k = std::min(n2 - s, m);
    if (k >= 3) {
      const Superposition window = superpose(coords1.data(), k, coords2.data() + s, k);
      for (std::size_t i = 0; i < n2; ++i) moved[i] = window.transform.apply(coords2[i]);
      PairwiseAlignment a = align_traces(coords1, moved, types1, types2, run, ws);
      if (a.score > best.score) {
        if (config.skip_ahead && a.score >= config.skip_score) advance = skip(step, a.n_aligned);
        best.score = a.score;
        best.transform = a.transform.compose(window.transform);
        best.offset = s;
        best.alignment = std::move(a);
      }
    }
    if (end - s <= advance) break;
    s += advance;
  }

  if (config.n_passes >= 2 && best.alignment && best.score > 0.0) {
    for (std::size_t i = 0; i < n2; ++i) moved[i] = best.transform.apply(coords2[i]);
    PairwiseAlignment refined = align_traces(coords1, moved, types1, types2, scan_refinement_config(), ws);
    if (refined.score >= best.score) {
      best.score = refined.score;
      best.transform = refined.transform.compose(best.transform);
      best.alignment = std::move(refined);
    }
  }
  return outcome_of(std::move(best), n1, n2, config);
}

}  // namespace pelda
