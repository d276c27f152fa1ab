#include "pelda/alignment/dp_cycle.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "pelda/math/rounding.hpp"
#include "pelda/math/superpose.hpp"
#include "pelda/math/vector_clones.hpp"

namespace pelda {
namespace {

// The integer constants of a cycle, all scaled by the precision.
struct Thresholds {
  std::int32_t gap, fragment, core;
};

Thresholds thresholds_of(const AlignmentConfig& config) {
  const double p = double(config.precision);
  return {round_to_int32(config.gap_penalty * p), round_to_int32(double(config.min_length) * p * config.cutoff_dist),
          round_to_int32(0.3 * p)};
}

// The band of an n x m cycle and the layout of its direction bytes, unless
// the workspace holds them already.
void prepare_band(std::size_t n, std::size_t m, double band_width, DpWorkspace& ws) {
  if (ws.band_rows == n && ws.band_cols == m && ws.band_width == band_width) return;
  ws.band_rows = n;
  ws.band_cols = m;
  ws.band_width = band_width;
  cycle_band(n, m, band_width, ws.band_table, ws.band);
  ws.direction_start.resize(m);
  std::size_t total = 0;
  for (std::size_t c = 0; c < m; ++c) {
    ws.direction_start[c] = total;
    total += ws.band[c].hi - ws.band[c].lo;
  }
  ws.directions.resize(total);
}

// A path offered as a fragment: kept when its maximum reached the threshold
// (tested by the caller, on the hot path) and it moved in both directions.
void offer(const DpPath& p, DpWorkspace& ws) {
  if (p.start_row == p.max_row || p.start_col == p.max_col) return;
  for (std::int32_t k = ws.row_heads[p.start_row]; k >= 0; k = ws.fragments[std::size_t(k)].next) {
    DpFragment& f = ws.fragments[std::size_t(k)];
    if (f.path.start_col != p.start_col) continue;
    if (p.max > f.path.max) f.path = p;
    return;
  }
  ws.fragments.push_back({p, ws.row_heads[p.start_row]});
  ws.row_heads[p.start_row] = std::int32_t(ws.fragments.size() - 1);
}

constexpr std::int64_t kMaxValue = std::numeric_limits<std::int32_t>::max();

// Raw views of a column, for the loops below.
struct ColumnView {
  std::int32_t *value, *max;
  std::uint32_t *start_row, *start_col, *max_row, *max_col;

  explicit ColumnView(DpColumn& c)
      : value(c.value.data()), max(c.max.data()), start_row(c.start_row.data()), start_col(c.start_col.data()),
        max_row(c.max_row.data()), max_col(c.max_col.data()) {}
  DpPath path(std::size_t r) const { return {start_row[r], start_col[r], max_row[r], max_col[r], max[r]}; }
  void set_path(std::size_t r, const DpPath& p) const {
    start_row[r] = p.start_row;
    start_col[r] = p.start_col;
    max_row[r] = p.max_row;
    max_col[r] = p.max_col;
    max[r] = p.max;
  }
};

// Where one column of the DP reads and writes.
struct Column {
  ColumnView prev;            // column c - 1
  ColumnView cur;             // column c
  const std::int32_t* score;  // S(r, c) at score[r - lo], lo the column's first band row
  std::uint8_t* dir;          // direction byte of (r, c) at dir[r - lo]
  std::uint32_t c;
  bool last;  // c == m
};

// Work of the ordered pass of a row.
constexpr std::uint32_t kStepDown = 1, kOfferOwn = 2, kOfferDiagonal = 4;

// Pass 1: H1(r) = max(diagonal, left), floored at zero. Returns the largest.
// The passes are inlined so that they take the instruction set of their
// caller.
[[gnu::always_inline]] inline std::int32_t best_of_diagonal_and_left(const ColumnView& p, const ColumnView& q,
                                                                     const std::int32_t* __restrict score,
                                                                     std::size_t lo, std::size_t len,
                                                                     std::int32_t gap) {
  const std::int32_t* __restrict pv = p.value + lo;
  const std::int32_t* __restrict pv1 = p.value + lo - 1;
  std::int32_t* __restrict qv = q.value + lo;
  std::int32_t top = 0;
  PELDA_INDEPENDENT_ITERATIONS
  for (std::size_t k = 0; k < len; ++k) {
    const std::int32_t x = std::max(pv1[k] + score[k], pv[k] - gap);
    qv[k] = x >= 1 ? x : 0;
    top = std::max(top, qv[k]);
  }
  return top;
}

// Pass 3 on final values: path records of diagonal and left steps, and per
// row the direction bits and (shifted by 8) the work of the ordered pass,
// kept in 32 bits like everything else so that the loop runs 8 rows a time.
// Returns the largest value; *any tells whether some row has work.
[[gnu::always_inline]] inline std::int32_t directions_and_paths(const Column& col, std::size_t lo,
                                                                std::size_t len, std::size_t n, std::int32_t gap,
                                                                std::int32_t fragment,
                                                                std::uint32_t* __restrict work, bool* any_steps) {
  const ColumnView p = col.prev, q = col.cur;
  // Row lo + k of the previous column (p*) and of this one (q*); *1: the row above.
  const std::int32_t *__restrict pv = p.value + lo, *__restrict pv1 = p.value + lo - 1;
  const std::int32_t *__restrict qv = q.value + lo, *__restrict qv1 = q.value + lo - 1;
  const std::uint32_t *__restrict psr = p.start_row + lo, *__restrict psr1 = p.start_row + lo - 1;
  const std::uint32_t *__restrict psc = p.start_col + lo, *__restrict psc1 = p.start_col + lo - 1;
  const std::uint32_t *__restrict pmr = p.max_row + lo, *__restrict pmr1 = p.max_row + lo - 1;
  const std::uint32_t *__restrict pmc = p.max_col + lo, *__restrict pmc1 = p.max_col + lo - 1;
  const std::int32_t *__restrict pmx = p.max + lo, *__restrict pmx1 = p.max + lo - 1;
  std::uint32_t *__restrict qsr = q.start_row + lo, *__restrict qsc = q.start_col + lo;
  std::uint32_t *__restrict qmr = q.max_row + lo, *__restrict qmc = q.max_col + lo;
  std::int32_t* __restrict qmx = q.max + lo;
  const std::int32_t* __restrict score = col.score;
  const std::uint32_t c = col.c, lo32 = std::uint32_t(lo), n32 = std::uint32_t(n);
  const bool last = col.last;
  std::int32_t best = 0;
  std::uint32_t any = 0;
  PELDA_INDEPENDENT_ITERATIONS
  for (std::size_t k = 0; k < len; ++k) {
    const std::uint32_t r = lo32 + std::uint32_t(k);
    const std::int32_t h = qv[k], dg = pv1[k];
    const std::int32_t diag = dg + score[k], left = pv[k] - gap, up = qv1[k] - gap;
    const bool d = h == diag, l = h == left, u = h == up, zero = h == 0;
    const std::uint32_t bits = (d ? kFromDiagonal : 0) | (l ? kFromLeft : 0) | (u ? kFromAbove : 0);
    best = std::max(best, h);
    // The diagonal predecessor's path, or the left one's, chosen with masks
    // (both are loaded: the loop must not branch).
    const std::uint32_t on_d = 0u - std::uint32_t(d), kept = std::uint32_t(zero) - 1u;
    const std::uint32_t sr = (psr1[k] & on_d) | (psr[k] & ~on_d), sc = (psc1[k] & on_d) | (psc[k] & ~on_d);
    const std::uint32_t mr = (pmr1[k] & on_d) | (pmr[k] & ~on_d), mc = (pmc1[k] & on_d) | (pmc[k] & ~on_d);
    const std::int32_t mx = std::int32_t((std::uint32_t(pmx1[k]) & on_d) | (std::uint32_t(pmx[k]) & ~on_d));
    const std::uint32_t fresh = 0u - std::uint32_t(d && dg == 0);
    const std::uint32_t moved = fresh | (0u - std::uint32_t(h >= mx));
    qsr[k] = ((r & fresh) | (sr & ~fresh)) & kept;
    qsc[k] = ((c & fresh) | (sc & ~fresh)) & kept;
    qmr[k] = ((r & moved) | (mr & ~moved)) & kept;
    qmc[k] = ((c & moved) | (mc & ~moved)) & kept;
    qmx[k] = std::int32_t(((std::uint32_t(h) & moved) | (std::uint32_t(mx) & ~moved)) & kept);
    const bool edge = last || r == n32;
    const std::uint32_t s = (!zero && !d && !l ? kStepDown : 0) | (edge && !zero ? kOfferOwn : 0) |
                            (!edge && zero && dg > 0 && pmx1[k] >= fragment ? kOfferDiagonal : 0);
    work[k] = bits | s << 8;
    any |= s;
  }
  *any_steps = any != 0;
  return best;
}

// Rows span.lo..span.hi-1 of one column when values fit 32 bits. Only the
// steps down chain the rows of a column, so the column splits into passes:
// (1) the best of the diagonal and left candidates, floored at zero (the
// floor commutes with the maximum, so the down candidate may come later);
// (2) H(r) = max(H1(r), H(r - 1) - gap), the only recurrence along the
// column; (3) direction bits and the path records of diagonal and left steps,
// marking the rows that need (4): down steps take the path of the cell above
// and fragments are offered, in row order. (1) and (3) vectorise.
PELDA_VECTOR_CLONES
std::int32_t dp_column_fast(const Column& col, Span span, std::size_t n, std::int32_t gap, std::int32_t fragment,
                            bool prev_zero, DpWorkspace& ws) {
  const std::size_t lo = span.lo, len = span.hi - span.lo;
  const ColumnView p = col.prev, q = col.cur;
  // After a column of zeros, a column whose candidates stay below 1 is all
  // zeros too: no path, no step down, nothing to offer; only the direction
  // bits of zero scores and zero gaps are set.
  if (prev_zero && best_of_diagonal_and_left(p, q, col.score, lo, len, gap) == 0) {
    const std::uint32_t gaps = gap == 0 ? kFromLeft | kFromAbove : 0;
    std::uint8_t* __restrict dir = col.dir;
    const std::int32_t* __restrict score = col.score;
    for (std::size_t k = 0; k < len; ++k) dir[k] = std::uint8_t((score[k] == 0 ? kFromDiagonal : 0) | gaps);
    for (std::uint32_t* f : {q.start_row, q.start_col, q.max_row, q.max_col}) std::fill(f + lo, f + lo + len, 0u);
    std::fill(q.max + lo, q.max + lo + len, 0);
    return 0;
  }
  // Pass 2: the steps down. A row whose value above is at most the gap keeps
  // its value, so only runs below values over the gap are walked.
  if (best_of_diagonal_and_left(p, q, col.score, lo, len, gap) > gap) {
    std::int32_t* v = q.value + lo;  // q.value[lo - 1] is 0: the row above the span is not processed
    for (std::size_t k = 0; k < len;) {
      if (v[k] <= gap) {
        ++k;
        continue;
      }
      std::int32_t above = v[k++];
      for (; k < len && above > gap; ++k) {
        above = std::max(v[k], above - gap);
        v[k] = above;
      }
    }
  }
  bool any = false;
  std::uint32_t* work = ws.steps.data();
  const std::int32_t best = directions_and_paths(col, lo, len, n, gap, fragment, work, &any);
  std::uint8_t* __restrict dir = col.dir;
  for (std::size_t k = 0; k < len; ++k) dir[k] = std::uint8_t(work[k]);
  if (!any) return best;
  // Pass 4, in row order. A run of down steps hands the record of the row
  // above it on (a step down never passes the maximum it inherits when the
  // gap is not negative; should one do, the run is taken row by row).
  for (std::size_t k = 0; k < len;) {
    const std::uint32_t s = work[k] >> 8;
    if (!s) {
      ++k;
      continue;
    }
    std::size_t end = k + 1;
    if (s & kStepDown) {
      while (end < len && (work[end] >> 8) & kStepDown) ++end;
      const DpPath path = q.path(lo + k - 1);
      std::int32_t run_top = 0;
      for (std::size_t i = k; i < end; ++i) run_top = std::max(run_top, q.value[lo + i]);
      if (run_top <= path.max) {
        const std::size_t from = lo + k, to = lo + end;
        std::fill(q.start_row + from, q.start_row + to, path.start_row);
        std::fill(q.start_col + from, q.start_col + to, path.start_col);
        std::fill(q.max_row + from, q.max_row + to, path.max_row);
        std::fill(q.max_col + from, q.max_col + to, path.max_col);
        std::fill(q.max + from, q.max + to, path.max);
      } else {
        for (std::size_t i = k; i < end; ++i) {
          const std::size_t r = lo + i;
          DpPath down = q.path(r - 1);
          if (q.value[r] > down.max) down.max_row = std::uint32_t(r), down.max_col = col.c, down.max = q.value[r];
          q.set_path(r, down);
        }
      }
    }
    for (std::size_t i = k; i < end; ++i) {
      const std::uint32_t t = work[i] >> 8;
      const std::size_t r = lo + i;
      if ((t & kOfferOwn) && q.max[r] >= fragment) offer(q.path(r), ws);
      if (t & kOfferDiagonal) offer(p.path(r - 1), ws);
    }
    k = end;
  }
  return best;
}

// The same for any gap and any values, one cell after the other: candidates
// are formed in 64 bits and saturate at the int32 maximum, which only a
// negative gap penalty on very long chains can reach.
std::int32_t dp_column_general(const Column& col, Span span, std::size_t n, std::int64_t gap,
                               std::int32_t fragment, DpWorkspace& ws) {
  const ColumnView p = col.prev, q = col.cur;
  std::int32_t best = 0;
  for (std::size_t r = span.lo; r < span.hi; ++r) {
    const std::int32_t dg = p.value[r - 1], up_value = q.value[r - 1];
    const std::int64_t diag = std::min<std::int64_t>(std::int64_t(dg) + col.score[r - span.lo], kMaxValue);
    const std::int64_t left = std::min<std::int64_t>(p.value[r] - gap, kMaxValue);
    const std::int64_t upv = std::min<std::int64_t>(up_value - gap, kMaxValue);
    const std::int64_t x = std::max(diag, std::max(left, upv));
    const std::int32_t h = x >= 1 ? std::int32_t(x) : 0;
    col.dir[r - span.lo] = std::uint8_t((h == diag ? kFromDiagonal : 0) | (h == left ? kFromLeft : 0) |
                                        (h == upv ? kFromAbove : 0));
    best = std::max(best, h);
    q.value[r] = h;
    const auto r32 = std::uint32_t(r);
    DpPath path;
    if (h == 0) {
      path = DpPath{};
    } else if (h == diag) {
      if (dg == 0) {
        path = {r32, col.c, r32, col.c, h};
      } else {
        path = p.path(r - 1);
        if (h >= path.max) path.max_row = r32, path.max_col = col.c, path.max = h;
      }
    } else if (h == left) {
      path = p.path(r);  // a predecessor of value 0 hands on the empty path
      if (h >= path.max) path.max_row = r32, path.max_col = col.c, path.max = h;
    } else {
      path = q.path(r - 1);
      if (h > path.max) path.max_row = r32, path.max_col = col.c, path.max = h;
    }
    q.set_path(r, path);

    if (r == n || col.last) {
      if (h > 0 && path.max >= fragment) offer(path, ws);
    } else if (h == 0 && dg > 0) {
      if (p.max[r - 1] >= fragment) offer(p.path(r - 1), ws);
    }
  }
  return best;
}

// Fills the direction bytes, records fragments and returns the largest value.
std::int32_t run_dp(const ScoreMatrix& scores, const Thresholds& th, DpWorkspace& ws) {
  const std::size_t n = scores.rows, m = scores.cols, stride = n + 2;
  ws.columns[0].reset(stride);
  ws.columns[1].reset(stride);
  ws.steps.resize(stride);
  DpColumn* prev = &ws.columns[0];
  DpColumn* cur = &ws.columns[1];
  Span prev_span, cur_span;  // rows each column array holds
  std::int32_t best = 0;
  std::int32_t prev_top = 0;  // largest value of column c - 1 (column 0 is zeros)
  // Without a negative gap no value exceeds the largest score times the
  // shorter length, so plain 32-bit arithmetic cannot overflow.
  std::int32_t top = 0;
  for (std::int32_t v : scores.values) top = std::max(top, v);
  top = std::max(top, scores.outside);
  const bool fits_32 = th.gap >= 0 && std::int64_t(top) * std::int64_t(std::min(n, m) + 1) < kMaxValue / 2;
  for (std::size_t c = 1; c <= m; ++c) {
    const Span span = ws.band[c - 1];
    // Rows the array held for column c - 2 that column c does not overwrite.
    cur->clear(cur_span.lo, std::max(cur_span.lo, std::min(cur_span.hi, span.lo)));
    cur->clear(std::min(cur_span.hi, std::max(cur_span.lo, span.hi)), cur_span.hi);
    if (!span.empty()) {
      const Column col{ColumnView(*prev), ColumnView(*cur), scores.column(c) + (span.lo - scores.held[c - 1].lo),
                       ws.directions.data() + ws.direction_start[c - 1], std::uint32_t(c), c == m};
      const std::int32_t column_top = fits_32 ? dp_column_fast(col, span, n, th.gap, th.fragment, prev_top == 0, ws)
                                              : dp_column_general(col, span, n, th.gap, th.fragment, ws);
      best = std::max(best, column_top);
      prev_top = column_top;
    } else {
      prev_top = 0;
    }
    std::swap(prev, cur);  // cur now holds column c - 1, to be overwritten next
    cur_span = prev_span;
    prev_span = span;
  }
  return best;
}

// Whether the matrix holds every cell of the band.
bool holds_band(const ScoreMatrix& scores, const std::vector<Span>& band) {
  for (std::size_t c = 0; c < band.size(); ++c)
    if (!band[c].empty() && (band[c].lo < scores.held[c].lo || band[c].hi > scores.held[c].hi)) return false;
  return true;
}

// The fragment that a stable sort by descending score would put first:
// ties go to the lower start row, then to the earlier entry in that row.
const DpPath* best_fragment(const std::vector<DpFragment>& fragments) {
  const DpPath* best = nullptr;
  for (const DpFragment& f : fragments)
    if (!best || f.path.max > best->max || (f.path.max == best->max && f.path.start_row < best->start_row))
      best = &f.path;
  return best;
}

struct Trace {
  std::size_t gaps_second = 0, gaps_first = 0;  // left steps, up steps
};

// Walks the direction bytes back from the fragment's end; pairs are padded
// (1-based) indices, in decreasing order.
Trace trace_back(const DpPath& f, const DpWorkspace& ws, std::vector<ResiduePair>& pairs) {
  Trace t;
  pairs.clear();
  std::size_t r = f.max_row, c = f.max_col;
  while (r >= f.start_row && c >= f.start_col && !(r == 0 && c == 0)) {
    const std::uint8_t d = ws.direction(r, c);
    if (d & kFromDiagonal) {
      pairs.emplace_back(r, c);
      --r;
      --c;
    } else if (d & kFromLeft) {
      ++t.gaps_second;
      --c;
    } else if (d & kFromAbove) {
      ++t.gaps_first;
      --r;
    } else {
      break;
    }
  }
  return t;
}

void fit_core(const PointList& coords1, const PointList& coords2, DpWorkspace& ws, CycleResult& out) {
  if (out.core_count < 3) return;
  ws.fixed.clear();
  ws.mobile.clear();
  for (const ResiduePair& p : out.core_pairs) {
    ws.fixed.push_back(coords1[p.first]);
    ws.mobile.push_back(coords2[p.second]);
  }
  const Superposition fit = superpose(ws.fixed, ws.mobile);
  out.transform = fit.transform;
  out.rmsd = fit.rmsd;
}

}  // namespace

void DpColumn::reset(std::size_t rows) {
  for (auto* v : {&value, &max}) v->assign(rows, 0);
  for (auto* v : {&start_row, &start_col, &max_row, &max_col}) v->assign(rows, 0);
}

void DpColumn::clear(std::size_t from, std::size_t to) {
  if (from >= to) return;
  for (auto* v : {&value, &max}) std::fill(v->begin() + std::ptrdiff_t(from), v->begin() + std::ptrdiff_t(to), 0);
  for (auto* v : {&start_row, &start_col, &max_row, &max_col})
    std::fill(v->begin() + std::ptrdiff_t(from), v->begin() + std::ptrdiff_t(to), 0u);
}

CycleResult dp_cycle(const PointList& coords1, const PointList& coords2, const ScoreMatrix& scores,
                     const AlignmentConfig& config, DpWorkspace& ws) {
  CycleResult out;
  const std::size_t n = scores.rows, m = scores.cols, stride = n + 2;
  // Without a cell there is no path: the band helpers assume both sides exist.
  if (n == 0 || m == 0) return out;
  const Thresholds th = thresholds_of(config);
  prepare_band(n, m, config.band_width, ws);
  if (!holds_band(scores, ws.band)) {
    ScoreMatrix dense;
    dense.reset(n, m);
    for (std::size_t c = 1; c <= m; ++c)
      for (std::size_t r = 1; r <= n; ++r) dense.set(r, c, scores.at(r, c));
    return dp_cycle(coords1, coords2, dense, config, ws);
  }
  ws.row_heads.assign(stride, -1);
  ws.fragments.clear();
  const std::int32_t best = run_dp(scores, th, ws);
  const DpPath* frag = best_fragment(ws.fragments);
  if (!frag) return out;

  const Trace t = trace_back(*frag, ws, ws.traced);
  const std::size_t length = ws.traced.size() + t.gaps_second + t.gaps_first;
  const double p = double(config.precision);
  out.path_length = length;
  out.residue_similarity.assign(std::max({length, n, m}), -1.0);
  for (auto it = ws.traced.rbegin(); it != ws.traced.rend(); ++it) {
    const std::int32_t s = scores.at(it->first, it->second);
    const ResiduePair pair{it->first - 1, it->second - 1};
    out.residue_similarity[pair.first] = double(s) / p;
    if (s >= th.core) out.core_pairs.push_back(pair);
  }
  out.core_count = out.core_pairs.size();
  fit_core(coords1, coords2, ws, out);

  if (n > 0 && m > 0 && length > 0)
    out.score = ((double(best) / p) / double(length)) * (double(length - t.gaps_second) / double(n)) *
                (double(length - t.gaps_first) / double(m));
  const auto from = [](std::uint32_t v) { return v > 0 ? std::size_t(v) - 1 : 0; };
  out.first_range = {from(frag->start_row), std::min(from(frag->max_row), n - 1)};
  out.second_range = {from(frag->start_col), std::min(from(frag->max_col), m - 1)};
  return out;
}

CycleResult dp_cycle(const PointList& coords1, const PointList& coords2, const SimilarityMatrix& similarity,
                     const AlignmentConfig& config) {
  if (similarity.rows != coords1.size() || similarity.cols != coords2.size()) return CycleResult{};
  ScoreMatrix scores;
  scores_from_matrix(similarity, config.precision, scores);
  DpWorkspace ws;
  return dp_cycle(coords1, coords2, scores, config, ws);
}

}  // namespace pelda
