#include "pelda/scan/file_scan.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <variant>

namespace pelda {

Result<BatchScan> scan_batch(const Domain& query, const std::vector<std::string>& paths, std::size_t first_target,
                             const Parameters& params, const ScanOptions& options, const DomainReader& read,
                             const RunControl& control) {
  // One slot per target: a hit worth keeping, a reason to skip, or nothing.
  std::vector<std::variant<std::monostate, ScanHit, Error>> outcome(paths.size());
  const Status s = run_items(paths.size(), control, [&](std::size_t k, std::size_t) -> Status {
    Result<Domain> target = read(paths[k]);
    if (target) {
      if (const Status finite = check_finite(*target); !finite) target = finite.error();
    }
    if (!target) {
      outcome[k] = target.error();
      return {};
    }
    Result<ScanHit> hit = align_target(query, *target, params, options);
    if (!hit)
      outcome[k] = hit.error();
    else if (hit->score >= options.score_cutoff)  // NaN never qualifies
      outcome[k] = std::move(hit).value();
    return {};
  });
  if (!s) return s.error();

  BatchScan batch;
  for (std::size_t k = 0; k < paths.size(); ++k) {
    if (auto* hit = std::get_if<ScanHit>(&outcome[k]))
      batch.hits.push_back({first_target + k, std::move(*hit)});
    else if (auto* error = std::get_if<Error>(&outcome[k]))
      batch.skipped.push_back({first_target + k, paths[k], std::move(*error)});
  }
  // The batch's best max_hits, ties in target order as in rank_hits, then
  // back into target order.
  if (batch.hits.size() > options.max_hits) {
    std::stable_sort(batch.hits.begin(), batch.hits.end(),
                     [](const KeptHit& a, const KeptHit& b) { return a.hit.score > b.hit.score; });
    batch.hits.resize(options.max_hits);
    std::sort(batch.hits.begin(), batch.hits.end(),
              [](const KeptHit& a, const KeptHit& b) { return a.target < b.target; });
  }
  return batch;
}

}  // namespace pelda
