// Scanning structure files in batches: each batch reads and aligns its
// targets and keeps only the hits that can still reach the final ranking.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "pelda/error.hpp"
#include "pelda/io/domain.hpp"
#include "pelda/pairwise/parameters.hpp"
#include "pelda/parallel/run_items.hpp"
#include "pelda/scan/database_scan.hpp"

namespace pelda {

// Reads the domain of one target file; called on the pool's threads.
using DomainReader = std::function<Result<Domain>(const std::string& path)>;

struct KeptHit {
  std::size_t target = 0;  // index of the target in the whole scan
  ScanHit hit;
};

struct SkippedTarget {
  std::size_t target = 0;
  std::string path;
  Error error;  // why the file could not be read or aligned
};

struct BatchScan {
  std::vector<KeptHit> hits;  // in target order
  std::vector<SkippedTarget> skipped;  // in target order
};

// Reads and aligns paths[k] as target first_target + k. Kept are the hits
// at or above the cutoff, at most max_hits of them: the batch's best in the
// order rank_hits sorts, so the best max_hits of the whole scan are among the
// union of every batch's kept hits, and rank_hits over that union in target
// order gives what it gives over all targets. A target that cannot be read
// or aligned is skipped, never fatal; only a stop asked through `control`
// fails the batch.
Result<BatchScan> scan_batch(const Domain& query, const std::vector<std::string>& paths, std::size_t first_target,
                             const Parameters& params, const ScanOptions& options, const DomainReader& read,
                             const RunControl& control = {});

}  // namespace pelda
