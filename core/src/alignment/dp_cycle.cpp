#include "pelda/alignment/dp_cycle.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "pelda/math/rounding.hpp"
#include "pelda/math/superpose.hpp"

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

// Where one column of the DP reads and writes.
struct Column {
  const DpCell* prev;        // column c - 1
  DpCell* cur;               // column c
  const std::int32_t* score;  // S(r, c) at score[r - lo], lo the column's first band row
  std::uint8_t* dir;         // direction byte of (r, c) at dir[r - lo]
  std::size_t c;
  bool last;  // c == m
};

// Rows span.lo..span.hi-1 of one column. The values above and diagonally
// before the current cell stay in locals: reloading them through memory would
// put a store-to-load round trip on the recurrence's critical path.
// Candidates are formed in 64 bits and saturate at the int32 maximum, which
// only a negative gap penalty on very long chains can reach.
template <class Int>
std::int32_t dp_column(const Column& col, Span span, std::size_t n, std::int64_t gap64, const Thresholds& th,
                       DpWorkspace& ws) {
  if (span.empty()) return 0;
  const Int gap = Int(gap64);
  std::int32_t best = 0;
  std::int32_t dg_value = col.prev[span.lo - 1].value;
  std::int32_t up_value = 0;  // the row above the span is not processed
  const auto c32 = std::uint32_t(col.c);
  for (std::size_t r = span.lo; r < span.hi; ++r) {
    const std::int32_t lf_value = col.prev[r].value;
    Int diag = Int(dg_value) + col.score[r - span.lo], left = Int(lf_value) - gap, upv = Int(up_value) - gap;
    if constexpr (sizeof(Int) > 4) {
      diag = std::min<Int>(diag, kMaxValue);
      left = std::min<Int>(left, kMaxValue);
      upv = std::min<Int>(upv, kMaxValue);
    }
    const Int x = std::max(diag, std::max(left, upv));
    const std::int32_t h = x >= 1 ? std::int32_t(x) : 0;
    col.dir[r - span.lo] = std::uint8_t((h == diag ? kFromDiagonal : 0) | (h == left ? kFromLeft : 0) |
                              (h == upv ? kFromAbove : 0));
    best = std::max(best, h);

    DpCell& out = col.cur[r];
    out.value = h;
    const auto r32 = std::uint32_t(r);
    if (h == 0) {
      out.path = DpPath{};
    } else if (h == diag) {
      if (dg_value == 0) {
        out.path = {r32, c32, r32, c32, h};
      } else {
        out.path = col.prev[r - 1].path;
        if (h >= out.path.max) out.path.max_row = r32, out.path.max_col = c32, out.path.max = h;
      }
    } else if (h == left) {
      out.path = col.prev[r].path;  // a predecessor of value 0 hands on the empty path
      if (h >= out.path.max) out.path.max_row = r32, out.path.max_col = c32, out.path.max = h;
    } else {
      out.path = col.cur[r - 1].path;
      if (h > out.path.max) out.path.max_row = r32, out.path.max_col = c32, out.path.max = h;
    }

    if (r == n || col.last) {
      if (h > 0 && out.path.max >= th.fragment) offer(out.path, ws);
    } else if (h == 0 && dg_value > 0) {
      const DpPath& p = col.prev[r - 1].path;
      if (p.max >= th.fragment) offer(p, ws);
    }
    dg_value = lf_value;
    up_value = h;
  }
  return best;
}

// Fills the direction bytes, records fragments and returns the largest value.
std::int32_t run_dp(const ScoreMatrix& scores, const Thresholds& th, DpWorkspace& ws) {
  const std::size_t n = scores.rows, m = scores.cols, stride = n + 2;
  ws.columns[0].assign(stride, DpCell{});
  ws.columns[1].assign(stride, DpCell{});
  DpCell* prev = ws.columns[0].data();
  DpCell* cur = ws.columns[1].data();
  Span prev_span, cur_span;  // rows each column array holds
  std::int32_t best = 0;
  // Without a negative gap no value exceeds the largest score times the
  // shorter length, so plain 32-bit arithmetic cannot overflow.
  std::int32_t top = 0;
  for (std::int32_t v : scores.values) top = std::max(top, v);
  top = std::max(top, scores.outside);
  const bool fits_32 = th.gap >= 0 && std::int64_t(top) * std::int64_t(std::min(n, m) + 1) < kMaxValue / 2;
  for (std::size_t c = 1; c <= m; ++c) {
    const Span span = ws.band[c - 1];
    // Rows the array held for column c - 2 that column c does not overwrite.
    std::fill(cur + cur_span.lo, cur + std::max(cur_span.lo, std::min(cur_span.hi, span.lo)), DpCell{});
    std::fill(cur + std::min(cur_span.hi, std::max(cur_span.lo, span.hi)), cur + cur_span.hi, DpCell{});
    const Column col{prev, cur, scores.column(c) + (span.empty() ? 0 : span.lo - scores.held[c - 1].lo),
                     ws.directions.data() + ws.direction_start[c - 1], c, c == m};
    best = std::max(best, fits_32 ? dp_column<std::int32_t>(col, span, n, th.gap, th, ws)
                                  : dp_column<std::int64_t>(col, span, n, th.gap, th, ws));
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
