#include "pelda/scan/database_scan.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

#include "pelda/alignment/dp_cycle.hpp"
#include "pelda/pairwise/align_pair.hpp"
#include "pelda/scan/scan_align.hpp"
#include "pelda/scoring/similarity.hpp"
#include "pelda/search/sensitive_align.hpp"

namespace pelda {
namespace {

// The database scan slides in coarser steps than an interactive scan-mode
// alignment, and a window only counts as significant at the reporting cutoff.
constexpr std::size_t kScanSlide = 10;

ScanHit hit_for(const Domain& target, double score, double rmsd, std::size_t n_aligned,
                double seq_identity) {
  ScanHit hit;
  hit.target_id = target.id;
  hit.score = score;
  hit.rmsd = rmsd;
  hit.n_aligned = n_aligned;
  hit.seq_identity = seq_identity;
  return hit;
}

Result<ScanHit> align_scan_mode(const Domain& query, const Domain& target, const Parameters& params,
                                double score_cutoff) {
  ScanConfig config = ScanConfig::from_parameters(params, kScanSlide);
  config.skip_score = score_cutoff;
  Result<ScanOutcome> out = scan_align(query, target, config);
  if (!out) return out.error();
  return hit_for(target, out->score, out->rmsd, out->n_aligned, out->seq_identity);
}

Result<ScanHit> align_plain(const Domain& query, const Domain& target, const Parameters& params) {
  Result<PairwiseAlignment> out =
      align_pair(query.residues, target.residues, AlignmentConfig::from_parameters(params));
  if (!out) return out.error();
  return hit_for(target, out->score, out->rmsd, out->n_aligned, out->seq_identity / 100.0);
}

ScanHit align_sensitive(const Domain& query, const Domain& target, const Parameters& params) {
  const SensitiveAlignment a = sensitive_align(query, target, params);
  const StructuralAlignment& s = a.structure;
  ScanHit hit = hit_for(target, a.aligner.score, s.rmsd, s.pairs.size(), s.seq_identity);
  hit.tm_score = s.tm_score;
  return hit;
}

// Fraction of core pairs joining residues of the same type.
double core_identity(const std::vector<ResiduePair>& pairs, const Domain& query, const Domain& target) {
  if (pairs.empty()) return 0.0;
  std::size_t same = 0;
  for (const auto& [i, j] : pairs)
    if (query.residues[i].residue_type == target.residues[j].residue_type) ++same;
  return double(same) / double(pairs.size());
}

// A single pass: the full similarity matrix in the given frames and one DP
// cycle, without iteration or a minimum-length check.
ScanHit align_quick(const Domain& query, const Domain& target, const Parameters& params) {
  const AlignmentConfig config = AlignmentConfig::from_parameters(params);
  const PointList coords1 = coordinates(query), coords2 = coordinates(target);
  const SimilarityMatrix sim = similarity_full(coords1, coords2, SimilarityContext::from_config(config));
  const CycleResult cycle = dp_cycle(coords1, coords2, sim, config);
  return hit_for(target, cycle.score, cycle.rmsd, cycle.core_count,
                 core_identity(cycle.core_pairs, query, target));
}

void set_z_scores(std::vector<ScanHit>& hits) {
  if (hits.size() < 2) return;
  const double n = double(hits.size());
  double sum = 0.0;
  for (const ScanHit& h : hits) sum += h.score;
  const double mean = sum / n;
  double squares = 0.0;
  for (const ScanHit& h : hits) squares += (h.score - mean) * (h.score - mean);
  const double sd = std::sqrt(squares / n);
  // Equal scores carry no spread to measure against.
  if (sd < 1e-10) return;
  for (ScanHit& h : hits) h.z_score = (h.score - mean) / sd;
}

}  // namespace

Result<ScanHit> align_target(const Domain& query, const Domain& target, const Parameters& params,
                             const ScanOptions& options) {
  if (options.search == SearchMode::Sensitive) return align_sensitive(query, target, params);
  if (options.scan_mode || options.search == SearchMode::Windows)
    return align_scan_mode(query, target, params, options.score_cutoff);
  if (options.quick) return align_quick(query, target, params);
  return align_plain(query, target, params);
}

std::vector<ScanHit> rank_hits(std::vector<ScanHit> hits, const ScanOptions& options) {
  // `!(a >= b)` is also true for NaN, so a NaN score never qualifies.
  std::erase_if(hits, [&](const ScanHit& h) { return !(h.score >= options.score_cutoff); });
  std::stable_sort(hits.begin(), hits.end(), [](const ScanHit& a, const ScanHit& b) { return a.score > b.score; });
  if (hits.size() > options.max_hits) hits.resize(options.max_hits);
  for (std::size_t k = 0; k < hits.size(); ++k) {
    hits[k].rank = k + 1;
    hits[k].e_value.reset();
    hits[k].z_score.reset();
  }
  set_z_scores(hits);
  return hits;
}

Result<std::vector<ScanHit>> run_scan(const Domain& query, const std::vector<Domain>& targets,
                                      const Parameters& params, const ScanOptions& options,
                                      const RunControl& control) {
  // Each thread keeps its hits with their target index; targets under the
  // cutoff are dropped at once so a large database does not hold a record
  // per miss.
  std::vector<std::vector<std::pair<std::size_t, ScanHit>>> kept(worker_count(control, targets.size()));
  const Status s = run_items(targets.size(), control, [&](std::size_t k, std::size_t worker) -> Status {
    Result<ScanHit> hit = align_target(query, targets[k], params, options);
    if (!hit) return hit.error();
    if (hit->score >= options.score_cutoff) kept[worker].emplace_back(k, std::move(hit).value());
    return {};
  });
  if (!s) return s.error();
  // Back into target order, which the stable ranking depends on.
  std::vector<std::pair<std::size_t, ScanHit>> merged;
  for (auto& part : kept) std::move(part.begin(), part.end(), std::back_inserter(merged));
  std::sort(merged.begin(), merged.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<ScanHit> hits;
  hits.reserve(merged.size());
  for (auto& [k, hit] : merged) hits.push_back(std::move(hit));
  return rank_hits(std::move(hits), options);
}

}  // namespace pelda
