#include "pelda/pairwise/align_pair.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace pelda {
void CycleProgress::update(double cycle_score, double cycle_rmsd) {
  score_change = cycle_score > 0.0 ? std::fabs(cycle_score - score) * 100.0 / cycle_score : 0.0;
  if (!std::isinf(cycle_rmsd) && !std::isinf(rmsd)) rmsd_change = std::fabs(cycle_rmsd - rmsd);
  score = cycle_score;
  rmsd = cycle_rmsd;
}

bool stop_before_cycle(const CycleProgress& p, const CycleResult& last, std::uint64_t k,
                       const AlignmentConfig& config) {
  const bool settled = p.score_change <= config.convergence_pct;
  if (p.rmsd_change <= config.rmsd_tolerance) {
    if (settled || last.rmsd < 100.0) return true;
  } else if (settled) {
    return true;
  }
  return k >= config.max_iter || last.core_count < std::max<std::size_t>(config.min_length, 3);
}

std::u32string residue_types(const std::vector<Residue>& residues) {
  std::u32string out;
  out.reserve(residues.size());
  for (const Residue& r : residues) out.push_back(r.residue_type);
  return out;
}

PairwiseAlignment align_traces(const PointList& coords1, const PointList& coords2, std::u32string_view types1,
                               std::u32string_view types2, const AlignmentConfig& config, AlignWorkspace& ws) {
  if (coords1.size() < config.min_length || coords2.size() < config.min_length) return PairwiseAlignment::empty();
  const SimilarityContext ctx = SimilarityContext::from_config(config);
  to_integer_trace(coords1, ctx.precision, ws.first);
  ws.mobile = coords2;
  Transform total;
  CycleProgress progress;
  CycleResult last;
  const std::uint64_t cycles = std::max<std::uint64_t>(config.max_iter, 1);
  std::size_t cycles_run = 0;
  for (std::uint64_t k = 0; k < cycles; ++k) {
    if (k > 0 && stop_before_cycle(progress, last, k, config)) break;
    to_integer_trace(ws.mobile, ctx.precision, ws.second);
    // The scores are computed a few columns ahead of the dynamic programming.
    const auto feed = [&ws](std::size_t from, std::size_t to) {
      banded_score_columns(ws.first, ws.second, ws.scores, ws.similarity, from, to);
    };
    last = prepare_banded_scores(ws.first, ws.second, ctx, config.precision, ws.scores, ws.similarity)
               ? dp_cycle(coords1, ws.mobile, ws.scores, config, ws.dp, feed)
               : dp_cycle(coords1, ws.mobile, ws.scores, config, ws.dp);
    progress.update(last.score, last.rmsd);
    ++cycles_run;
    if (last.core_count > 2) {
      last.transform.apply_in_place(ws.mobile);
      total = last.transform.compose(total);
    }
  }

  PairwiseAlignment out;
  out.seq_identity = seq_identity_percent(last.core_pairs, pair_distances(last.core_pairs, coords1, coords2, total),
                                          types1, types2, config.pair_cutoff);
  out.aligned_pairs = std::move(last.core_pairs);
  out.transform = total;
  out.rmsd = last.rmsd;
  out.n_aligned = last.core_count;
  out.score = last.score;
  out.residue_similarity = std::move(last.residue_similarity);
  out.path_length = last.path_length;
  out.cycles = cycles_run;
  return out;
}

Result<PairwiseAlignment> align_pair(const std::vector<Residue>& residues1, const std::vector<Residue>& residues2,
                                     const AlignmentConfig& config) {
  return align_traces(coordinates(residues1), coordinates(residues2), residue_types(residues1),
                      residue_types(residues2), config, thread_workspace());
}

AlignWorkspace& thread_workspace() {
  thread_local AlignWorkspace ws;
  return ws;
}

}  // namespace pelda
