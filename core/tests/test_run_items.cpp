#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "pelda/io/pdb_reader.hpp"
#include "pelda/parallel/run_items.hpp"
#include "pelda/scan/database_scan.hpp"
#include "pelda/scan/scan_align.hpp"
#include "pelda/treewise/multiple_alignment.hpp"

using namespace pelda;

namespace {

const std::size_t kThreadCounts[] = {1, 2, 3, 7};

RunControl on(std::size_t threads) {
  RunControl c;
  c.threads = threads;
  return c;
}

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

std::vector<Domain> read_family(const std::string& family, const std::vector<std::string>& stems) {
  std::vector<Domain> out;
  for (const std::string& stem : stems) {
    Result<Domain> d =
        read_pdb_domain(std::string(OVELT_TEST_DATA "/structures/") + family + "/" + stem + ".pdb", std::nullopt);
    EXPECT_TRUE(d.ok()) << stem;
    if (d) out.push_back(std::move(d).value());
  }
  return out;
}

std::vector<Domain> globins() {
  return read_family("globin", {"1mbn", "1hho", "1h97", "1oj6", "1urv", "2oif", "5vzq", "2eb8"});
}

// Globins among other folds, so the ranking and the z-scores have spread.
std::vector<Domain> mixed_targets() {
  std::vector<Domain> all = globins();
  for (Domain& d : read_family("lipocalin_obp", {"1a3y", "1g85", "3fiq", "3zq3", "5ngh"})) all.push_back(d);
  for (Domain& d : read_family("ef_hand_calmodulin", {"1jfj", "1ncx", "2sas", "3cln"})) all.push_back(d);
  for (Domain& d : read_family("kringle", {"1kdu", "1pk4", "1pkr"})) all.push_back(d);
  return all;
}

void expect_same_hits(const std::vector<ScanHit>& a, const std::vector<ScanHit>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t k = 0; k < a.size(); ++k) {
    EXPECT_EQ(a[k].target_id, b[k].target_id);
    EXPECT_EQ(a[k].rank, b[k].rank);
    EXPECT_EQ(bits(a[k].score), bits(b[k].score));
    EXPECT_EQ(bits(a[k].rmsd), bits(b[k].rmsd));
    EXPECT_EQ(a[k].n_aligned, b[k].n_aligned);
    EXPECT_EQ(bits(a[k].seq_identity), bits(b[k].seq_identity));
    ASSERT_EQ(a[k].z_score.has_value(), b[k].z_score.has_value());
    if (a[k].z_score) {
      EXPECT_EQ(bits(*a[k].z_score), bits(*b[k].z_score));
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The pool itself

class RunItemsThreads : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RunItemsThreads, EveryItemOnceOnAWorkerInRange) {
  const std::size_t n = 500;
  RunControl control = on(GetParam());
  const std::size_t workers = worker_count(control, n);
  std::vector<std::atomic<int>> runs(n);
  std::atomic<bool> worker_in_range{true};
  ASSERT_TRUE(run_items(n, control, [&](std::size_t k, std::size_t w) -> Status {
    runs[k].fetch_add(1);
    if (w >= workers) worker_in_range = false;
    return {};
  }));
  for (std::size_t k = 0; k < n; ++k) EXPECT_EQ(runs[k].load(), 1) << k;
  EXPECT_TRUE(worker_in_range);
}

TEST_P(RunItemsThreads, LowestFailingItemWinsAndEverythingBelowItRan) {
  const std::size_t n = 300;
  std::vector<std::atomic<int>> runs(n);
  const Status s = run_items(n, on(GetParam()), [&](std::size_t k, std::size_t) -> Status {
    runs[k].fetch_add(1);
    // The later failure is the faster one, so threads may meet it first.
    if (k == 140) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return make_error(ErrorKind::Value, "item 140");
    }
    if (k == 141 || k == 290) return make_error(ErrorKind::Value, "item " + std::to_string(k));
    return {};
  });
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message, "item 140");
  for (std::size_t k = 0; k <= 140; ++k) EXPECT_EQ(runs[k].load(), 1) << k;
}

TEST_P(RunItemsThreads, ExceptionOfAnItemReachesTheCaller) {
  EXPECT_THROW(run_items(50, on(GetParam()),
                         [](std::size_t k, std::size_t) -> Status {
                           if (k == 7) throw std::length_error("item 7");
                           return {};
                         }),
               std::length_error);
}

TEST_P(RunItemsThreads, PollSeesJobWideCountsAndCanStop) {
  RunControl control = on(GetParam());
  control.poll_interval = std::chrono::milliseconds(1);
  control.done_before = 10;
  control.job_total = 5000;
  std::vector<std::pair<std::size_t, std::size_t>> calls;
  control.poll = [&](std::size_t done, std::size_t total) {
    calls.emplace_back(done, total);
    return calls.size() < 3;
  };
  std::atomic<std::size_t> ran{0};
  const std::size_t n = 2000;
  const Status s = run_items(n, control, [&](std::size_t, std::size_t) -> Status {
    ran.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return {};
  });
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind, ErrorKind::Stopped);
  EXPECT_LT(ran.load(), n);
  ASSERT_EQ(calls.size(), 3u);
  for (std::size_t c = 0; c < calls.size(); ++c) {
    EXPECT_EQ(calls[c].second, 5000u);
    EXPECT_GE(calls[c].first, 10u);
    if (c > 0) {
      EXPECT_GE(calls[c].first, calls[c - 1].first);
    }
  }
}

TEST_P(RunItemsThreads, FinalPollReportsEveryItemDone) {
  RunControl control = on(GetParam());
  std::vector<std::pair<std::size_t, std::size_t>> calls;
  control.poll = [&](std::size_t done, std::size_t total) {
    calls.emplace_back(done, total);
    return true;
  };
  ASSERT_TRUE(run_items(40, control, [](std::size_t, std::size_t) -> Status { return {}; }));
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), std::make_pair(std::size_t(40), std::size_t(40)));
}

INSTANTIATE_TEST_SUITE_P(Threads, RunItemsThreads, ::testing::ValuesIn(kThreadCounts));

TEST(RunItems, ZeroThreadsMeansEveryUsableCore) {
  EXPECT_GE(available_cores(), 1u);
  EXPECT_EQ(worker_count(on(0), 1000), std::min<std::size_t>(available_cores(), 1000));
  EXPECT_EQ(worker_count(on(7), 3), 3u);
  EXPECT_EQ(worker_count(on(7), 0), 1u);
}

// ---------------------------------------------------------------------------
// Real work: the same answer for every thread count

TEST(ParallelScan, SameHitsRanksAndZScoresForEveryThreadCount) {
  std::vector<Domain> targets = mixed_targets();
  const Domain query = targets.front();
  // Copies at the end tie with their originals: only input order ranks them.
  for (std::size_t k = 0; k < 6; ++k) {
    targets.push_back(targets[k]);
    targets.back().id += "_copy";
  }
  const Parameters params;
  for (bool scan_mode : {true, false}) {
    ScanOptions options;
    options.scan_mode = scan_mode;
    options.max_hits = targets.size();
    const Result<std::vector<ScanHit>> serial = run_scan(query, targets, params, options, on(1));
    ASSERT_TRUE(serial);
    ASSERT_GE(serial->size(), 10u);
    for (std::size_t t : kThreadCounts) {
      const Result<std::vector<ScanHit>> parallel = run_scan(query, targets, params, options, on(t));
      ASSERT_TRUE(parallel) << t;
      expect_same_hits(*serial, *parallel);
    }
  }
}

// The globins in one frame: each moved onto the first by the window search.
std::vector<Domain> superposed_globins() {
  std::vector<Domain> domains = globins();
  const ScanConfig config = ScanConfig::from_parameters(Parameters{}, 5);
  for (std::size_t k = 1; k < domains.size(); ++k) {
    const Result<ScanOutcome> o = scan_align(domains[0], domains[k], config);
    EXPECT_TRUE(o.ok());
    if (!o) continue;
    for (Residue& r : domains[k].residues) {
      const Vec3 p = o->transform.apply(r.position());
      r.x = p.x, r.y = p.y, r.z = p.z;
    }
  }
  return domains;
}

TEST(ParallelMultiple, SameAlignmentForEveryThreadCount) {
  const std::vector<Domain> domains = superposed_globins();
  const Result<MultipleAlignment> serial = align_multiple(domains, Parameters{}, on(1));
  ASSERT_TRUE(serial);
  ASSERT_GT(serial->n_columns(), domains[0].size());  // gaps and joins, not one column per residue
  for (std::size_t t : kThreadCounts) {
    const Result<MultipleAlignment> parallel = align_multiple(domains, Parameters{}, on(t));
    ASSERT_TRUE(parallel) << t;
    EXPECT_EQ(parallel->columns, serial->columns) << t;
    EXPECT_EQ(parallel->core_positions, serial->core_positions) << t;
    EXPECT_EQ(bits(parallel->score), bits(serial->score)) << t;
    EXPECT_EQ(bits(parallel->avg_rmsd), bits(serial->avg_rmsd)) << t;
  }
}
