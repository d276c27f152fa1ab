// Independent work items run on a pool of threads, with an outcome that does
// not depend on the number of threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

#include "pelda/error.hpp"

namespace pelda {

// How a long run may use the machine and hear from its caller.
struct RunControl {
  // Threads that run the items; 0 means every core this process may use.
  std::size_t threads = 1;
  // Asked on the calling thread, at most once per poll_interval and once
  // when every item is done, with the items finished and the total; false
  // stops the run before further items start. Empty: never asked.
  std::function<bool(std::size_t done, std::size_t total)> poll;
  std::chrono::milliseconds poll_interval{100};
  // A job made of several runs reports its counts as one: items finished by
  // earlier runs, and the whole job's total (0: this run's item count).
  std::size_t done_before = 0;
  std::size_t job_total = 0;
};

// Cores this process may run on (at least 1).
std::size_t available_cores();

// The threads a run of `items` items uses under `control`.
std::size_t worker_count(const RunControl& control, std::size_t items);

// Runs item(k, worker) for every k < n; `worker` < worker_count() numbers
// the thread, so a caller can keep one reusable workspace per thread. Items
// start in increasing order and none starts after a failure at a lower
// index, so the result is the error of the lowest failing item whatever the
// thread count. A stop asked by the poll hook ends the run with a Stopped
// error. Exceptions thrown by items reach the caller after every thread ended.
Status run_items(std::size_t n, const RunControl& control,
                 const std::function<Status(std::size_t item, std::size_t worker)>& item);

}  // namespace pelda
