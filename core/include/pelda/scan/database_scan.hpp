// Database scan: one query against many targets, ranked by score.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "pelda/error.hpp"
#include "pelda/io/domain.hpp"
#include "pelda/pairwise/parameters.hpp"
#include "pelda/parallel/run_items.hpp"
#include "pelda/search/search_mode.hpp"

namespace pelda {

struct ScanOptions {
  double score_cutoff = 0.0;  // smallest score a hit may have
  std::size_t max_hits = 100;
  bool quick = false;  // one similarity matrix and one DP cycle; only without scan_mode
  bool scan_mode = true;
  SearchMode search = SearchMode::None;  // Windows or Sensitive override scan_mode and quick
};

struct ScanHit {
  std::string target_id;
  std::size_t rank = 0;  // 1-based, set by rank_hits
  double score = 0.0;
  double rmsd = std::numeric_limits<double>::infinity();
  std::size_t n_aligned = 0;
  double seq_identity = 0.0;  // fraction 0-1
  // Under the final superposition, normalised by the query; read only by the
  // sensitive search (the other modes would pay a full extra alignment).
  std::optional<double> tm_score;
  std::optional<double> e_value;  // never computed
  std::optional<double> z_score;
};

// Aligns one target (mobile) against the query (reference) in the mode the
// options select. The hit carries no rank or statistics yet.
Result<ScanHit> align_target(const Domain& query, const Domain& target, const Parameters& params,
                             const ScanOptions& options);

// Turns per-target hits, in target order, into the reported list: cutoff
// (NaN never qualifies), stable sort by score, truncation to max_hits, ranks
// from 1, and z-scores over the kept hits only.
std::vector<ScanHit> rank_hits(std::vector<ScanHit> hits, const ScanOptions& options);

// Aligns every target, on the threads `control` allows, and ranks the hits
// as if the targets were aligned in input order; the aligner error of the
// first failing target ends the scan.
Result<std::vector<ScanHit>> run_scan(const Domain& query, const std::vector<Domain>& targets,
                                      const Parameters& params, const ScanOptions& options,
                                      const RunControl& control = {});

}  // namespace pelda
