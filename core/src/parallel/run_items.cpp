#include "pelda/parallel/run_items.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace pelda {

namespace {

using Clock = std::chrono::steady_clock;

Error stopped() { return make_error(ErrorKind::Stopped, "stopped on request"); }

// The lowest failing item seen so far, with its error or exception.
class FirstFailure {
 public:
  static constexpr std::size_t kNone = std::size_t(-1);

  // True when `item` may still matter: no lower item failed.
  bool below(std::size_t item) const { return item < index_.load(std::memory_order_acquire); }

  void record(std::size_t item, Error error, std::exception_ptr exception) {
    std::lock_guard lock(mutex_);
    if (item >= index_.load(std::memory_order_relaxed)) return;
    error_ = std::move(error);
    exception_ = std::move(exception);
    index_.store(item, std::memory_order_release);
  }

  // Rethrows a recorded exception, else returns the recorded error if any.
  Status outcome() {
    if (index_.load() == kNone) return {};
    if (exception_) std::rethrow_exception(exception_);
    return error_;
  }

 private:
  std::mutex mutex_;
  std::atomic<std::size_t> index_{kNone};
  Error error_;
  std::exception_ptr exception_;
};

void run_one(std::size_t k, std::size_t worker, const std::function<Status(std::size_t, std::size_t)>& item,
             FirstFailure& failure) {
  try {
    Status s = item(k, worker);
    if (!s) failure.record(k, s.error(), nullptr);
  } catch (...) {
    failure.record(k, Error{}, std::current_exception());
  }
}

// Calls the poll hook with the job-wide counts; false asks to stop.
bool ask(const RunControl& control, std::size_t done, std::size_t n) {
  if (!control.poll) return true;
  const std::size_t total = control.job_total ? control.job_total : control.done_before + n;
  return control.poll(control.done_before + done, total);
}

// One thread: items in order on the calling thread, polling between them.
Status run_inline(std::size_t n, const RunControl& control,
                  const std::function<Status(std::size_t, std::size_t)>& item) {
  Clock::time_point last = Clock::now();
  for (std::size_t k = 0; k < n; ++k) {
    if (Status s = item(k, 0); !s) return s;
    if (control.poll && k + 1 < n && Clock::now() - last >= control.poll_interval) {
      if (!ask(control, k + 1, n)) return stopped();
      last = Clock::now();
    }
  }
  if (!ask(control, n, n)) return stopped();
  return {};
}

}  // namespace

std::size_t available_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return std::size_t(count);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

std::size_t worker_count(const RunControl& control, std::size_t items) {
  const std::size_t wanted = control.threads == 0 ? available_cores() : control.threads;
  return std::max<std::size_t>(1, std::min(wanted, items));
}

Status run_items(std::size_t n, const RunControl& control,
                 const std::function<Status(std::size_t item, std::size_t worker)>& item) {
  const std::size_t workers = worker_count(control, n);
  if (workers == 1) return run_inline(n, control, item);

  std::atomic<std::size_t> next{0}, done{0};
  std::atomic<bool> stop{false};
  FirstFailure failure;
  std::mutex mutex;
  std::condition_variable finished_cv;
  std::size_t finished = 0;

  // Runs the next item on `worker`; false when none is left to start.
  auto take = [&](std::size_t worker) {
    if (stop.load(std::memory_order_relaxed)) return false;
    const std::size_t k = next.fetch_add(1);
    if (k >= n || !failure.below(k)) return false;
    run_one(k, worker, item, failure);
    done.fetch_add(1, std::memory_order_relaxed);
    return true;
  };
  auto work = [&](std::size_t worker) {
    while (take(worker)) {
    }
    std::lock_guard lock(mutex);
    ++finished;
    finished_cv.notify_one();
  };

  bool stopped_by_poll = false;
  {
    std::vector<std::jthread> threads;
    // Whatever leaves this scope, the workers are told to stop before the
    // jthreads join them.
    struct StopOnExit {
      std::atomic<bool>& stop;
      ~StopOnExit() { stop.store(true); }
    };
    threads.reserve(workers - 1);
    StopOnExit guard{stop};
    for (std::size_t w = 1; w < workers; ++w) threads.emplace_back(work, w);

    // The calling thread is worker 0: it starts no thread for itself, keeps
    // its warm workspaces, and asks the poll hook between its items.
    Clock::time_point last = Clock::now();
    while (take(0)) {
      if (control.poll && Clock::now() - last >= control.poll_interval) {
        if (!ask(control, done.load(), n)) {
          stopped_by_poll = true;
          stop.store(true);
          break;
        }
        last = Clock::now();
      }
    }

    // Then it waits for the others, still asking between waits.
    std::unique_lock lock(mutex);
    auto all_finished = [&] { return finished == workers - 1; };
    while (!all_finished()) {
      if (!control.poll || stopped_by_poll) {
        finished_cv.wait(lock, all_finished);
        break;
      }
      if (finished_cv.wait_for(lock, control.poll_interval, all_finished)) break;
      lock.unlock();
      const bool go_on = ask(control, done.load(), n);
      lock.lock();
      if (!go_on) {
        stopped_by_poll = true;
        stop.store(true);
        finished_cv.wait(lock, all_finished);
      }
    }
  }
  if (stopped_by_poll) return stopped();
  if (Status s = failure.outcome(); !s) return s;
  if (!ask(control, n, n)) return stopped();
  return {};
}

}  // namespace pelda
