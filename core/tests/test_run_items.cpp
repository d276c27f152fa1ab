// The thread pool: every item once, the lowest failure, polling and stopping.
// Also built alone under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pelda/parallel/run_items.hpp"
#include "thread_counts.hpp"

using namespace pelda;
using fixtures::kThreadCounts;
using fixtures::on;

namespace {

}  // namespace

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

INSTANTIATE_TEST_SUITE_P(Threads, RunItemsThreads, ::testing::ValuesIn(kThreadCounts));

TEST(RunItems, ZeroThreadsMeansEveryUsableCore) {
  EXPECT_GE(available_cores(), 1u);
  EXPECT_EQ(worker_count(on(0), 1000), std::min<std::size_t>(available_cores(), 1000));
  EXPECT_EQ(worker_count(on(7), 3), 3u);
  EXPECT_EQ(worker_count(on(7), 0), 1u);
}

