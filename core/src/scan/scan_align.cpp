#include "pelda/scan/scan_align.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <thread>
#include <cmath>

#include "pelda/math/superpose.hpp"
#include "pelda/pairwise/align_pair.hpp"
#include "pelda/parallel/run_items.hpp"

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

namespace {

// What every window run reads, shared by the threads.
struct WindowSearch {
  PointList coords1, coords2;
  std::u32string types1, types2;
  AlignmentConfig run;
  std::size_t m = 0;  // window length
};

// The aligner run from one window: the fit of the window onto the start of
// the first structure places the whole second one.
struct WindowRun {
  std::optional<PairwiseAlignment> alignment;  // empty when the window is too short
  Transform placement;
};

// Buffers of one thread.
struct WindowScratch {
  AlignWorkspace ws;
  PointList moved;
};

WindowRun run_window(const WindowSearch& search, std::size_t s, WindowScratch& scratch) {
  const std::size_t n2 = search.coords2.size();
  const std::size_t k = std::min(n2 - s, search.m);
  if (k < 3) return {};
  const Superposition window = superpose(search.coords1.data(), k, search.coords2.data() + s, k);
  scratch.moved.resize(n2);
  for (std::size_t i = 0; i < n2; ++i) scratch.moved[i] = window.transform.apply(search.coords2[i]);
  return {align_traces(search.coords1, scratch.moved, search.types1, search.types2, search.run, scratch.ws),
          window.transform};
}

// Window runs ahead of the walk. Where the walk goes depends on the runs it
// has seen (a significant run skips ahead), but it only ever lands on
// multiples of the step, so the next batch of those is run at once on the
// threads, and the walk then reads them in order. A skip (rare: it takes a
// significant run) wastes the runs it jumps over; the walk and its result
// are the same for every thread count. The calling thread runs windows too,
// so a batch is never slower than running it alone while the other threads
// start (on a machine whose idle cores wake slowly that takes a while);
// batches are large because each one starts its threads anew.
class RunsAhead {
 public:
  RunsAhead(const WindowSearch& search, std::size_t step, std::size_t end, const RunControl& control)
      : search_(search), step_(step), end_(end), windows_((end + step - 1) / step), control_(control) {
    const std::size_t workers = worker_count(control, windows_);
    batch_ = workers == 1 ? 1 : 16 * workers;
    scratch_.resize(workers);
  }

  // The run of the window starting at s, a multiple of the step below the end.
  Result<WindowRun*> at(std::size_t s) {
    if (s < first_ || s >= first_ + runs_.size() * step_) {
      if (Status st = run_from(s); !st) return st.error();
    }
    return &runs_[(s - first_) / step_];
  }

 private:
  Status run_from(std::size_t s) {
    first_ = s;
    const std::size_t count = std::min(batch_, (end_ - s + step_ - 1) / step_);
    runs_.assign(count, WindowRun{});
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::exception_ptr failure;
    const auto work = [&](std::size_t worker, bool caller) {
      try {
        for (std::size_t i; !stop.load(std::memory_order_relaxed) && (i = next.fetch_add(1)) < count;) {
          runs_[i] = run_window(search_, s + i * step_, scratch_[worker]);
          if (caller && !ask(s / step_ + i + 1)) stopped_ = true, stop = true;
        }
      } catch (...) {
        const std::lock_guard lock(mutex);
        if (!failure) failure = std::current_exception();
        stop = true;
      }
    };
    {
      std::vector<std::jthread> helpers;
      for (std::size_t w = 1; w < scratch_.size(); ++w) helpers.emplace_back(work, w, false);
      work(0, true);
    }
    if (failure) std::rethrow_exception(failure);
    if (stopped_) return make_error(ErrorKind::Stopped, "stopped on request");
    return {};
  }

  // The caller's hook, at most once per poll interval; false asks to stop.
  bool ask(std::size_t done) {
    if (!control_.poll) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_poll_ < control_.poll_interval) return true;
    last_poll_ = now;
    return control_.poll(done, windows_);
  }

  const WindowSearch& search_;
  std::size_t step_, end_, windows_, batch_ = 1;
  const RunControl& control_;
  std::vector<WindowScratch> scratch_;
  std::size_t first_ = 0;
  std::vector<WindowRun> runs_;
  bool stopped_ = false;
  std::chrono::steady_clock::time_point last_poll_ = std::chrono::steady_clock::now();
};

}  // namespace

Result<ScanOutcome> scan_align(const Domain& domain1, const Domain& domain2, const ScanConfig& config,
                               const RunControl& control) {
  const std::size_t n1 = domain1.size();
  std::size_t n2 = 0;
  const std::size_t kept = searched_length(n1, domain2.size(), config, &n2);
  const std::size_t m = std::min(n1, kept);
  if (m < 3) return outcome_of(Best{}, n1, n2, config);

  WindowSearch search{coordinates(domain1), coordinates(domain2), residue_types(domain1.residues),
                      residue_types(domain2.residues), scan_run_config(config), m};
  search.coords2.resize(n2);
  search.types2.resize(n2);
  const PointList& coords1 = search.coords1;
  const PointList& coords2 = search.coords2;

  const std::size_t step = std::max<std::size_t>(config.slide, 1);
  const std::size_t end = n2 - m / 2;
  RunsAhead runs(search, step, end, control);
  Best best;
  for (std::size_t s = 0; s < end;) {
    std::size_t advance = step;
    Result<WindowRun*> run = runs.at(s);
    if (!run) return run.error();
    if (std::optional<PairwiseAlignment>& a = (*run)->alignment; a && a->score > best.score) {
      if (config.skip_ahead && a->score >= config.skip_score) advance = skip(step, a->n_aligned);
      best.score = a->score;
      best.transform = a->transform.compose((*run)->placement);
      best.offset = s;
      best.alignment = std::move(a);
    }
    if (end - s <= advance) break;
    s += advance;
  }

  AlignWorkspace& ws = thread_workspace();
  PointList moved(n2);
  if (config.n_passes >= 2 && best.alignment && best.score > 0.0) {
    for (std::size_t i = 0; i < n2; ++i) moved[i] = best.transform.apply(coords2[i]);
    PairwiseAlignment refined =
        align_traces(coords1, moved, search.types1, search.types2, scan_refinement_config(), ws);
    if (refined.score >= best.score) {
      best.score = refined.score;
      best.transform = refined.transform.compose(best.transform);
      best.alignment = std::move(refined);
    }
  }
  return outcome_of(std::move(best), n1, n2, config);
}

}  // namespace pelda
