#include "pelda/alignment/dp_cycle.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <cstdint>
#include <limits>

#include "pelda/math/rounding.hpp"
#include "pelda/math/superpose.hpp"
#include "pelda/math/vector_clones.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define PELDA_DP_AVX2 1
#include <immintrin.h>
#else
#define PELDA_DP_AVX2 0
#endif

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
  ws.directions.resize(total + 8);  // slack for the vector loop's stores of eight
}

// A path offered as a fragment: kept when its maximum reached the threshold
// (tested by the caller, on the hot path) and it moved in both directions.
void offer(const DpPath& p, DpWorkspace& ws) {
  const std::size_t row = ws.row_of(p.start);
  if (row == ws.row_of(p.peak) || ws.col_of(p.start) == ws.col_of(p.peak)) return;
  for (std::int32_t k = ws.row_heads[row]; k >= 0; k = ws.fragments[std::size_t(k)].next) {
    DpFragment& f = ws.fragments[std::size_t(k)];
    if (f.path.start != p.start) continue;
    if (p.max > f.path.max) f.path = p;
    return;
  }
  ws.fragments.push_back({p, ws.row_heads[row]});
  ws.row_heads[row] = std::int32_t(ws.fragments.size() - 1);
}

constexpr std::int64_t kMaxValue = std::numeric_limits<std::int32_t>::max();

// Raw views of a column, for the loops below.
struct ColumnView {
  std::int32_t *value, *max;
  std::uint32_t *start, *peak;
  std::uint64_t *wide_start, *wide_peak;  // null unless wide

  // Values of one column, records of another (the same unless shared).
  ColumnView(DpColumn& values, DpColumn& records)
      : value(values.value.data()), max(records.max.data()), start(records.start.data()), peak(records.peak.data()),
        wide_start(records.wide_start.empty() ? nullptr : records.wide_start.data()),
        wide_peak(records.wide_peak.empty() ? nullptr : records.wide_peak.data()) {}
  explicit ColumnView(DpColumn& c) : ColumnView(c, c) {}
  DpPath path(std::size_t r) const {
    return wide_start ? DpPath{wide_start[r], wide_peak[r], max[r]} : DpPath{start[r], peak[r], max[r]};
  }
  void set_path(std::size_t r, const DpPath& p) const {
    if (wide_start) {
      wide_start[r] = p.start;
      wide_peak[r] = p.peak;
    } else {
      start[r] = std::uint32_t(p.start);
      peak[r] = std::uint32_t(p.peak);
    }
    max[r] = p.max;
  }
};

// Where one column of the DP reads and writes.
struct Column {
  ColumnView prev;            // column c - 1
  ColumnView cur;             // column c
  const std::int32_t* score;  // S(r, c) at score[r - lo], lo the column's first band row
  std::uint8_t* dir;          // direction byte of (r, c) at dir[r - lo]
  std::size_t len;            // rows in the band
  std::uint64_t base;         // cell number of row 0
  bool last;                  // c == m
};

// The rows of `held` outside `kept`, as two ranges (either may be empty).
std::array<std::pair<std::size_t, std::size_t>, 2> rows_left(Span held, Span kept) {
  return {{{held.lo, std::max(held.lo, std::min(held.hi, kept.lo))},
           {std::min(held.hi, std::max(held.lo, kept.hi)), held.hi}}};
}

// Columns asked of a feed at a time: a few dozen kilobytes of scores.
constexpr std::size_t kFedColumns = 16;

// Columns 1..m in order: `column(col, span, prev_top)` fills one and returns
// its largest value (prev_top: what it returned for the column before). In
// place, both columns share the records of the first array. The feed, if
// any, fills the scores ahead. Returns the largest value.
template <class ColumnLoop>
[[gnu::always_inline]] inline std::int32_t each_column(const ScoreMatrix& scores, DpWorkspace& ws, bool in_place,
                                                       const ColumnFeed* feed, ColumnLoop&& column) {
  const std::size_t m = scores.cols;
  DpColumn* prev = &ws.columns[0];
  DpColumn* cur = &ws.columns[1];
  DpColumn& records = ws.columns[0];
  Span prev_span, cur_span;  // rows each column array holds
  std::int32_t best = 0;
  std::int32_t prev_top = 0;  // column 0 is zeros
  std::size_t fed = 1;        // columns before this one are filled
  for (std::size_t c = 1; c <= m; ++c) {
    if (feed && c == fed) {
      fed = std::min(c + kFedColumns, m + 1);
      (*feed)(c, fed);
    }
    const Span span = ws.band[c - 1];
    // Rows the array held for column c - 2 that column c does not overwrite.
    // The band moves down about a row a column: a single row is cleared here.
    for (const auto& [from, to] : rows_left(cur_span, span))
      if (in_place && from + 1 == to) cur->value[from] = 0;
      else if (from < to) in_place ? cur->clear_values(from, to) : cur->clear(from, to);
    if (!span.empty()) {
      const Column col{in_place ? ColumnView(*prev, records) : ColumnView(*prev),
                       in_place ? ColumnView(*cur, records) : ColumnView(*cur),
                       scores.column(c) + (span.lo - scores.held[c - 1].lo),
                       ws.directions.data() + ws.direction_start[c - 1],
                       span.hi - span.lo,
                       ws.cell(0, c),
                       c == m};
      prev_top = column(col, span, prev_top);
      best = std::max(best, prev_top);
    } else {
      prev_top = 0;
    }
    // Records of column c - 1 that column c did not overwrite.
    if (in_place) {
      for (const auto& [from, to] : rows_left(prev_span, span))
        if (from + 1 == to) records.start[from] = records.peak[from] = 0, records.max[from] = 0;
        else if (from < to) records.clear_records(from, to);
    }
    std::swap(prev, cur);  // cur now holds column c - 1, to be overwritten next
    cur_span = prev_span;
    prev_span = span;
  }
  return best;
}

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
  const std::uint32_t *__restrict pst = p.start + lo, *__restrict pst1 = p.start + lo - 1;
  const std::uint32_t *__restrict ppk = p.peak + lo, *__restrict ppk1 = p.peak + lo - 1;
  const std::int32_t *__restrict pmx = p.max + lo, *__restrict pmx1 = p.max + lo - 1;
  std::uint32_t *__restrict qst = q.start + lo, *__restrict qpk = q.peak + lo;
  std::int32_t* __restrict qmx = q.max + lo;
  const std::int32_t* __restrict score = col.score;
  const std::uint32_t lo32 = std::uint32_t(lo), n32 = std::uint32_t(n), base = std::uint32_t(col.base);
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
    const std::uint32_t st = (pst1[k] & on_d) | (pst[k] & ~on_d), pk = (ppk1[k] & on_d) | (ppk[k] & ~on_d);
    const std::int32_t mx = std::int32_t((std::uint32_t(pmx1[k]) & on_d) | (std::uint32_t(pmx[k]) & ~on_d));
    const std::uint32_t fresh = 0u - std::uint32_t(d && dg == 0);
    const std::uint32_t moved = fresh | (0u - std::uint32_t(h >= mx));
    const std::uint32_t cell = base + r;
    qst[k] = ((cell & fresh) | (st & ~fresh)) & kept;
    qpk[k] = ((cell & moved) | (pk & ~moved)) & kept;
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
    for (std::uint32_t* f : {q.start, q.peak}) std::fill(f + lo, f + lo + len, 0u);
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
        std::fill(q.start + from, q.start + to, std::uint32_t(path.start));
        std::fill(q.peak + from, q.peak + to, std::uint32_t(path.peak));
        std::fill(q.max + from, q.max + to, path.max);
      } else {
        for (std::size_t i = k; i < end; ++i) {
          const std::size_t r = lo + i;
          DpPath down = q.path(r - 1);
          if (q.value[r] > down.max) down.peak = col.base + r, down.max = q.value[r];
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

#if PELDA_DP_AVX2
// The column in one pass, eight rows at a time, for gaps in [0, 2^26] and
// values that fit 32 bits. H(r) = max(H1(r), H(r - 1) - gap) unrolls to the
// largest H1(k) - (r - k) gap over k <= r: within eight rows a scan of three
// shifted maxima, across them the carried last value. A row that steps down
// takes the record of the nearest row above that does not (a step down never
// passes the maximum it inherits when the gap is not negative): within the
// eight rows a scan of row indices picks that row's record, before them the
// carried record of the row above.
namespace avx2 {

#define PELDA_AVX2 [[gnu::target("avx2"), gnu::always_inline]] inline
#define PELDA_AVX2_LAMBDA __attribute__((target("avx2"), always_inline))

using V = __m256i;
PELDA_AVX2 V splat(std::int32_t x) { return _mm256_set1_epi32(x); }
// Lanes moved up by s (lane i takes lane i - s), lanes below s from `fill`.
PELDA_AVX2 V up1(V x, V fill) { return _mm256_alignr_epi8(x, _mm256_permute2x128_si256(x, fill, 0x02), 12); }
PELDA_AVX2 V up2(V x, V fill) { return _mm256_alignr_epi8(x, _mm256_permute2x128_si256(x, fill, 0x02), 8); }
// The same for s = 1 with lane 0 from the last lane of `above`.
PELDA_AVX2 V up1_after(V x, V above) {
  return _mm256_alignr_epi8(x, _mm256_permute2x128_si256(x, above, 0x03), 12);
}
PELDA_AVX2 V up4(V x, V fill) { return _mm256_permute2x128_si256(x, fill, 0x02); }
PELDA_AVX2 V ge(V a, V b) { return _mm256_xor_si256(_mm256_cmpgt_epi32(b, a), _mm256_set1_epi32(-1)); }
PELDA_AVX2 V pick(V no, V yes, V mask) {  // masks are whole lanes: the float blend reads one bit a lane
  return _mm256_castps_si256(
      _mm256_blendv_ps(_mm256_castsi256_ps(no), _mm256_castsi256_ps(yes), _mm256_castsi256_ps(mask)));
}
PELDA_AVX2 int bits(V mask) { return _mm256_movemask_ps(_mm256_castsi256_ps(mask)); }
template <class T>
PELDA_AVX2 V load8(const T* at) {
  return _mm256_loadu_si256(reinterpret_cast<const V*>(at));
}
template <class T>
PELDA_AVX2 void store8(T* at, V x) {
  _mm256_storeu_si256(reinterpret_cast<V*>(at), x);
}

// Byte i of entry b is kFromDiagonal where bit i of b is set: the direction
// bytes of eight rows from one mask.
constexpr std::array<std::uint64_t, 256> kSpread = [] {
  std::array<std::uint64_t, 256> t{};
  for (unsigned b = 0; b < 256; ++b)
    for (unsigned i = 0; i < 8; ++i)
      if (b >> i & 1) t[b] |= std::uint64_t(kFromDiagonal) << 8 * i;
  return t;
}();

// Eight rows, or the rows left at the end of a column (the others neither
// read nor written).
struct Lanes {
  bool tail;
  V active;

  template <class T>
  PELDA_AVX2 V load(const T* at) const {
    const auto* a = reinterpret_cast<const int*>(at);
    return tail ? _mm256_maskload_epi32(a, active) : _mm256_loadu_si256(reinterpret_cast<const V*>(a));
  }
  template <class T>
  PELDA_AVX2 void store(T* at, V x) const {
    auto* a = reinterpret_cast<int*>(at);
    if (tail) _mm256_maskstore_epi32(a, active, x);
    else _mm256_storeu_si256(reinterpret_cast<V*>(a), x);
  }
};

// What stays the same over the columns of a cycle.
struct Cycle {
  std::size_t n;  // rows
  bool positive_gap;
  V lane, g1, g2, g4, g8, steps, vn, vfragment;  // steps: (i + 1) gap in lane i

  PELDA_AVX2 Cycle(std::size_t rows, std::int32_t gap, std::int32_t fragment)
      : n(rows), positive_gap(gap > 0), lane(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)), g1(splat(gap)),
        g2(splat(2 * gap)), g4(splat(4 * gap)), g8(splat(8 * gap)),
        steps(_mm256_mullo_epi32(_mm256_add_epi32(lane, splat(1)), g1)), vn(splat(std::int32_t(rows))),
        vfragment(splat(fragment)) {}
};

// One column, eight rows a step. The path records live in one array per
// field, overwritten in place: rows not yet reached still hold the previous
// column's records, so a left step, the common case beside a path, neither
// loads nor stores more than the maximum it may pass. The previous column's
// records of the row above the eight, needed by diagonal steps, are carried
// over from the step before when that one overwrote them.
struct Pass {
  const Column& col;
  DpWorkspace& ws;
  std::size_t lo;
  std::uint32_t* rec[3];  // start, peak, max
  // Row lo + k of the previous column's values, this column's values, the
  // score, the direction bytes and the record fields at [k].
  const std::int32_t* __restrict pv;
  std::int32_t* __restrict qv;
  const std::int32_t* __restrict score;
  std::uint8_t* __restrict dir;
  std::uint32_t* field[3];
  const Cycle& cy;
  V cells;  // number of row lane
  V carry;  // value of the row above, in every lane
  V best;
  V above_rec[3];          // the previous column's record of the row above, in the last lane...
  bool has_above = false;  // ...when set; otherwise the array still holds it

  // A constructor, not an aggregate: that would be zeroed first, column after column.
  PELDA_AVX2 Pass(const Column& column, std::size_t first_row, const Cycle& cycle, DpWorkspace& workspace)
      : col(column), ws(workspace), lo(first_row),
        rec{column.cur.start, column.cur.peak, reinterpret_cast<std::uint32_t*>(column.cur.max)},
        pv(column.prev.value + first_row), qv(column.cur.value + first_row), score(column.score), dir(column.dir),
        field{rec[0] + first_row, rec[1] + first_row, rec[2] + first_row}, cy(cycle),
        cells(_mm256_add_epi32(splat(std::int32_t(std::uint32_t(column.base))), cycle.lane)),
        carry(_mm256_setzero_si256()), best(_mm256_setzero_si256()) {}

  // Direction bytes of eight rows.
  PELDA_AVX2 void directions(std::size_t k, V lanes) const {
    const V packed16 = _mm256_packs_epi32(lanes, lanes), packed8 = _mm256_packus_epi16(packed16, packed16);
    const V bytes = _mm256_permutevar8x32_epi32(packed8, _mm256_setr_epi32(0, 4, 0, 4, 0, 4, 0, 4));
    // All eight even at the end of a column: the bytes beyond belong to the
    // next column, written later, or to the slack after the last.
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dir + k), _mm256_castsi256_si128(bytes));
  }

  // The previous column's records of rows r0 - 1 .. r0 + 6, from its records
  // of rows r0 .. r0 + 7.
  PELDA_AVX2 void diagonal_records(std::size_t r0, const V* old, V* out) {
    if (!has_above) {
      for (int f = 0; f < 3; ++f) above_rec[f] = splat(std::int32_t(rec[f][r0 - 1]));
      has_above = true;
    }
    for (int f = 0; f < 3; ++f) out[f] = up1_after(old[f], above_rec[f]);
  }

  // Fragments, in row order: a cell of the last row or column offers its own
  // path (written already), a cell that cuts a diagonal path offers that path
  // (from the previous column's records `old`, given when some row may be 0).
  PELDA_AVX2 void offers(const Lanes& in, std::size_t r0, V z, V pv1, const V* old) {
    const ColumnView& q = col.cur;
    const int all = bits(in.active);
    const bool edges = col.last || r0 + 8 > cy.n;
    const V cutting = _mm256_and_si256(z, _mm256_cmpgt_epi32(pv1, _mm256_setzero_si256()));
    const int cuts = bits(cutting) & all;
    if (!edges && !cuts) return;
    alignas(32) std::uint32_t cut_path[3][8] = {};
    V cut = _mm256_setzero_si256();
    if (cuts && old) {  // rows are 0 only where `old` is given
      V diagonal[3];
      diagonal_records(r0, old, diagonal);
      for (int f = 0; f < 3; ++f) _mm256_store_si256(reinterpret_cast<V*>(cut_path[f]), diagonal[f]);
      cut = _mm256_and_si256(cutting, ge(diagonal[2], cy.vfragment));
    }
    const V edge = col.last ? splat(-1) : _mm256_cmpeq_epi32(_mm256_add_epi32(splat(std::int32_t(r0)), cy.lane), cy.vn);
    const V own = _mm256_andnot_si256(z, _mm256_and_si256(edge, ge(in.load(q.max + r0), cy.vfragment)));
    cut = _mm256_andnot_si256(edge, cut);
    const int own_bits = bits(own) & all;
    for (int o = bits(_mm256_or_si256(own, cut)) & all; o; o &= o - 1) {
      const int i = std::countr_zero(unsigned(o));
      offer((own_bits >> i) & 1 ? q.path(r0 + std::size_t(i))
                                : DpPath{cut_path[0][i], cut_path[1][i], std::int32_t(cut_path[2][i])},
            ws);
    }
  }

  // The three common kinds of eight rows, from row lo + k on while one of
  // them holds and the rows stay clear of the last row and column (no
  // fragment to offer). Each kind is tried where the one before ended, except
  // the kind that just ended: runs are long. Returns where they stop.
  PELDA_AVX2 std::size_t runs(std::size_t k, std::size_t clear_len) {
    enum Kind { none, left, down, zero } last = none;
    for (;;) {
      std::size_t next = k;
      if (last != left && cy.positive_gap && (next = left_run(k, clear_len)) != k) last = left;
      else if (last != down && (next = down_run(k, clear_len)) != k) last = down;
      else if (last != zero && (next = zero_run(k, clear_len)) != k) last = zero;
      else return k;  // the rows at k are none of the three
      k = next;
    }
  }

  // Every row steps left, strictly above its other candidates. It keeps its
  // record (a positive gap never passes the maximum), and its value, below
  // the one it came from, cannot be the largest. Within the run the row above
  // steps left too: the candidate down is the previous column's row r - 1
  // less two gaps, compared together with the diagonal one (that row plus
  // the score).
  PELDA_AVX2 std::size_t left_run(std::size_t k, std::size_t end) {
    // The first row's candidate down: the row above, whatever its step, less the gap.
    if (k + 8 > end || pv[k] <= _mm256_cvtsi256_si32(carry)) return k;
    const V gap = cy.g1, two_gaps = _mm256_sub_epi32(_mm256_setzero_si256(), cy.g2), zero = _mm256_setzero_si256();
    const std::uint64_t lefts = 0x0101010101010101ull * kFromLeft;
    const std::size_t from = k;
    for (; k + 8 <= end; k += 8) {
      const V pv1 = load8(pv + k - 1), left = _mm256_sub_epi32(load8(pv + k), gap);
      const V other = _mm256_max_epi32(_mm256_add_epi32(pv1, _mm256_max_epi32(load8(score + k), two_gaps)), zero);
      if (bits(_mm256_cmpgt_epi32(left, other)) != 0xff) break;
      store8(qv + k, left);
      std::memcpy(dir + k, &lefts, 8);
    }
    if (k != from) {
      carry = splat(qv[k - 1]);
      has_above = false;
    }
    return k;
  }

  // Every row steps down from the row above, taking that row's record. The
  // values fall from one already counted: they cannot be the largest.
  PELDA_AVX2 std::size_t down_run(std::size_t k, std::size_t end) {
    const V gap = cy.g1, zero = _mm256_setzero_si256();
    const std::uint64_t downs = 0x0101010101010101ull * kFromAbove;
    V c = carry;
    const auto chain_at = [&](std::size_t i, V& chain) PELDA_AVX2_LAMBDA {
      const V diag = _mm256_add_epi32(load8(pv + i - 1), load8(score + i)), left = _mm256_sub_epi32(load8(pv + i), gap);
      chain = _mm256_sub_epi32(c, cy.steps);
      return bits(_mm256_cmpgt_epi32(chain, _mm256_max_epi32(_mm256_max_epi32(diag, left), zero))) == 0xff;
    };
    V chain;
    if (k + 8 > end || !chain_at(k, chain)) return k;
    const V inherited[3] = {splat(std::int32_t(field[0][k - 1])), splat(std::int32_t(field[1][k - 1])),
                            splat(std::int32_t(field[2][k - 1]))};
    // The records of a block are written once the next block steps down
    // too; the last block's are read first: the previous column's record of
    // its last row is needed by a diagonal step below.
    for (;;) {
      store8(qv + k, chain);
      std::memcpy(dir + k, &downs, 8);
      c = _mm256_sub_epi32(c, cy.g8);
      if (k + 16 > end || !chain_at(k + 8, chain)) break;
      for (int f = 0; f < 3; ++f) store8(field[f] + k, inherited[f]);
      k += 8;
    }
    for (int f = 0; f < 3; ++f) {
      above_rec[f] = load8(field[f] + k);
      store8(field[f] + k, inherited[f]);
    }
    has_above = true;
    carry = c;
    return k + 8;
  }

  // Nothing above zero reaches any row: it stays 0 and keeps its empty
  // record. Only a row whose value above is 0 or below the gap penalty leads
  // into such a run (at the gap penalty the step down would tie), so only
  // the score's ties with zero and zero gaps set direction bits. Each row
  // needs 0 in the previous column at its own row and the one above: the
  // first row's above is tested here, the others come with the run.
  PELDA_AVX2 bool zero_may_start(std::size_t k) const {
    const std::int32_t above = _mm256_cvtsi256_si32(carry), gap = _mm256_cvtsi256_si32(cy.g1);
    return (above == 0 || above < gap) && pv[k - 1] == 0;
  }
  PELDA_AVX2 std::uint64_t zero_gaps() const {
    return cy.positive_gap ? 0 : 0x0101010101010101ull * (kFromLeft | kFromAbove);
  }

  PELDA_AVX2 std::size_t zero_run(std::size_t k, std::size_t end) {
    if (!zero_may_start(k)) return k;
    const V zero = _mm256_setzero_si256();
    const std::uint64_t gaps = zero_gaps();
    const std::size_t from = k;
    for (; k + 8 <= end; k += 8) {
      const V s = load8(score + k), reach = _mm256_or_si256(load8(pv + k), _mm256_max_epi32(s, zero));
      if (!_mm256_testz_si256(reach, reach)) break;
      store8(qv + k, zero);
      const std::uint64_t d = kSpread[bits(_mm256_cmpeq_epi32(s, zero))] | gaps;
      std::memcpy(dir + k, &d, 8);
    }
    if (k != from) {
      carry = zero;
      has_above = false;
    }
    return k;
  }

  // The rows left at the end of a column as a zero run, where they are one.
  PELDA_AVX2 bool zero_tail(std::size_t k, V active) {
    if (!zero_may_start(k)) return false;
    const Lanes in{true, active};
    const V zero = _mm256_setzero_si256(), s = in.load(score + k);
    const V reach = _mm256_and_si256(_mm256_or_si256(in.load(pv + k), _mm256_max_epi32(s, zero)), active);
    if (!_mm256_testz_si256(reach, reach)) return false;
    in.store(qv + k, zero);
    const std::uint64_t d = kSpread[bits(_mm256_cmpeq_epi32(s, zero))] | zero_gaps();
    std::memcpy(dir + k, &d, 8);  // the bytes beyond the column are written later, or slack
    return true;
  }

  template <bool Tail>
  PELDA_AVX2 void step(std::size_t k, V active) {
    const Lanes in{Tail, active};
    const V zero = _mm256_setzero_si256(), none = splat(-1);
    const int all = bits(active);
    const std::size_t r0 = lo + k;
    const V pv1 = in.load(pv + k - 1);
    const V diag = _mm256_add_epi32(pv1, in.load(score + k)), left = _mm256_sub_epi32(in.load(pv + k), cy.g1);
    const V h1 = _mm256_max_epi32(_mm256_max_epi32(diag, left), zero);
    // Steps down, unless no row passes the candidates of the row below.
    V h = h1, up = _mm256_sub_epi32(up1(h1, carry), cy.g1);
    const bool steps_down = bits(_mm256_cmpgt_epi32(up, h1)) & all;
    if (steps_down) {
      h = _mm256_max_epi32(h, _mm256_sub_epi32(up1(h, zero), cy.g1));
      h = _mm256_max_epi32(h, _mm256_sub_epi32(up2(h, zero), cy.g2));
      h = _mm256_max_epi32(h, _mm256_sub_epi32(up4(h, zero), cy.g4));
      h = _mm256_max_epi32(h, _mm256_sub_epi32(carry, cy.steps));
      up = _mm256_sub_epi32(up1(h, carry), cy.g1);
    }
    carry = _mm256_permutevar8x32_epi32(h, splat(7));
    in.store(qv + k, h);
    if (Tail) h = _mm256_and_si256(h, active);
    best = _mm256_max_epi32(best, h);
    const V d = _mm256_cmpeq_epi32(h, diag), l = _mm256_cmpeq_epi32(h, left), z = _mm256_cmpeq_epi32(h, zero);
    // The masks are -1 where set: the direction bits are -(d + 2 l + 4 u).
    const V u = _mm256_cmpeq_epi32(h, up), u2l = _mm256_add_epi32(_mm256_add_epi32(u, u), l);
    directions(k, _mm256_sub_epi32(zero, _mm256_add_epi32(_mm256_add_epi32(u2l, u2l), d)));
    const int zeros = bits(z) & all, diagonals = bits(d) & all;
    // Without a zero, a diagonal or a step down every row steps left and keeps
    // its record, unless it passes the maximum.
    const V old_max = in.load(field[2] + k);
    V moved = ge(h, old_max);
    if (!zeros && !diagonals && !steps_down && !(bits(moved) & all)) {
      has_above = false;
      offers(in, r0, z, pv1, nullptr);
      return;
    }
    const V old[3] = {in.load(field[0] + k), in.load(field[1] + k), old_max};
    V next[3] = {zero, zero, zero};
    if (zeros != all) {
      // Records of diagonal and left steps; the diagonal predecessor is row r - 1.
      for (int f = 0; f < 3; ++f) next[f] = old[f];
      if (diagonals) {
        V diagonal[3];
        diagonal_records(r0, old, diagonal);
        for (int f = 0; f < 3; ++f) next[f] = pick(next[f], diagonal[f], d);
        const V cell = _mm256_add_epi32(splat(std::int32_t(r0)), cells);
        const V fresh = _mm256_and_si256(d, _mm256_cmpeq_epi32(pv1, zero));
        moved = _mm256_or_si256(fresh, ge(h, next[2]));
        next[0] = pick(next[0], cell, fresh);
        next[1] = pick(next[1], cell, moved);
        next[2] = pick(next[2], h, moved);
      } else if (bits(moved) & all) {
        const V cell = _mm256_add_epi32(splat(std::int32_t(r0)), cells);
        next[1] = pick(next[1], cell, moved);
        next[2] = pick(next[2], h, moved);
      }
      if (steps_down) {
        const V down = _mm256_andnot_si256(_mm256_or_si256(_mm256_or_si256(z, d), l), active);
        V from = pick(cy.lane, none, down);  // the nearest row at or above that does not step down
        from = _mm256_max_epi32(from, up1(from, none));
        from = _mm256_max_epi32(from, up2(from, none));
        from = _mm256_max_epi32(from, up4(from, none));
        const V before = _mm256_cmpgt_epi32(zero, from);
        for (int f = 0; f < 3; ++f)  // before the eight: the row above, written already
          next[f] = pick(_mm256_permutevar8x32_epi32(next[f], from), splat(std::int32_t(field[f][k - 1])), before);
      }
      if (zeros)
        for (V& x : next) x = _mm256_andnot_si256(z, x);
    }
    for (int f = 0; f < 3; ++f) in.store(field[f] + k, next[f]);
    offers(in, r0, z, pv1, old);  // cut paths come from `old` and the row above, not from the array
    for (int f = 0; f < 3; ++f) above_rec[f] = old[f];
    has_above = true;
  }
};

}  // namespace avx2

// Returns the largest value of the column, or less where that value fell by
// gaps from a larger one of an earlier cell: only the largest of all matters.
PELDA_AVX2 std::int32_t dp_column_avx2(const Column& col, Span span, const avx2::Cycle& cycle, DpWorkspace& ws) {
  using namespace avx2;
  Pass pass(col, span.lo, cycle, ws);
  const std::size_t len = span.hi - span.lo;
  // Rows lo + k .. lo + k + 7 are clear of the last row below this length.
  const std::size_t clear_len = col.last ? 0 : std::min(len, cycle.n - span.lo);
  std::size_t k = 0;
  while (k + 8 <= len) {
    k = pass.runs(k, clear_len);
    if (k + 8 > len) break;
    pass.step<false>(k, splat(-1));
    k += 8;
  }
  if (k < len) {
    const V active = _mm256_cmpgt_epi32(splat(std::int32_t(len - k)), cycle.lane);
    // Clear of the last row and column, the rows may be a zero run.
    if (len > clear_len || !pass.zero_tail(k, active)) pass.step<true>(k, active);
  }
  V top = _mm256_max_epi32(pass.best, _mm256_permute2x128_si256(pass.best, pass.best, 0x01));
  top = _mm256_max_epi32(top, _mm256_shuffle_epi32(top, 0x4e));
  top = _mm256_max_epi32(top, _mm256_shuffle_epi32(top, 0xb1));
  return _mm256_cvtsi256_si32(top);
}

// The columns of a cycle with the one-pass loop, compiled for AVX2 as a
// whole: the constants are set up once.
[[gnu::target("avx2")]] std::int32_t run_one_pass(const ScoreMatrix& scores, const Thresholds& th, DpWorkspace& ws,
                                                  const ColumnFeed* feed) {
  const avx2::Cycle cycle(scores.rows, th.gap, th.fragment);
  const auto column = [&](const Column& col, Span span, std::int32_t) __attribute__((target("avx2"))) {
    return dp_column_avx2(col, span, cycle, ws);
  };
  return each_column(scores, ws, true, feed, column);
}
#undef PELDA_AVX2
#undef PELDA_AVX2_LAMBDA
#endif

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
    const std::uint64_t cell = col.base + r;
    DpPath path;
    if (h == 0) {
      path = DpPath{};
    } else if (h == diag) {
      if (dg == 0) {
        path = {cell, cell, h};
      } else {
        path = p.path(r - 1);
        if (h >= path.max) path.peak = cell, path.max = h;
      }
    } else if (h == left) {
      path = p.path(r);  // a predecessor of value 0 hands on the empty path
      if (h >= path.max) path.peak = cell, path.max = h;
    } else {
      path = q.path(r - 1);
      if (h > path.max) path.peak = cell, path.max = h;
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

bool has_one_pass_columns() {
#if PELDA_DP_AVX2
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
#else
  return false;
#endif
}

#if !PELDA_DP_AVX2
std::int32_t run_one_pass(const ScoreMatrix&, const Thresholds&, DpWorkspace&, const ColumnFeed*) { return 0; }
#endif

// The largest of n values (the smallest int32 for none).
PELDA_VECTOR_CLONES
std::int32_t largest(const std::int32_t* values, std::size_t n) {
  std::int32_t top[8];
  std::fill(top, top + 8, std::numeric_limits<std::int32_t>::min());
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (std::size_t k = 0; k < 8; ++k) top[k] = std::max(top[k], values[i + k]);
  for (; i < n; ++i) top[0] = std::max(top[0], values[i]);
  return *std::max_element(top, top + 8);
}

// Fills the direction bytes, records fragments and returns the largest value.
std::int32_t run_dp(const ScoreMatrix& scores, const Thresholds& th, DpWorkspace& ws, const ColumnFeed* feed) {
  const std::size_t n = scores.rows, m = scores.cols, stride = n + 2;
  // Cell numbers run up to (m + 1) * stride - 1.
  const bool wide = !ws.narrow_records || m + 1 > (std::uint64_t(1) << 32) / stride;
  ws.columns[0].reset(stride, wide);
  ws.columns[1].reset(stride, wide);
  ws.steps.resize(stride);
  // Without a negative gap no value exceeds the largest score times the
  // shorter length, so plain 32-bit arithmetic cannot overflow.
  const std::int32_t top =
      std::max({0, scores.top ? *scores.top : largest(scores.values.data(), scores.values.size()), scores.outside});
  const bool fits_32 = th.gap >= 0 && std::int64_t(top) * std::int64_t(std::min(n, m) + 1) < kMaxValue / 2;
  const bool general = !fits_32 || wide;
  // The one-pass loop overwrites a single array of records in place.
  const bool one_pass = !general && ws.vector_columns && th.gap <= (1 << 26) && has_one_pass_columns();
  if (one_pass) return run_one_pass(scores, th, ws, feed);
  return each_column(scores, ws, false, feed, [&](const Column& col, Span span, std::int32_t prev_top) {
    return general ? dp_column_general(col, span, n, th.gap, th.fragment, ws)
                   : dp_column_fast(col, span, n, th.gap, th.fragment, prev_top == 0, ws);
  });
}

// Whether the matrix holds every cell of the band.
bool holds_band(const ScoreMatrix& scores, const std::vector<Span>& band) {
  for (std::size_t c = 0; c < band.size(); ++c)
    if (!band[c].empty() && (band[c].lo < scores.held[c].lo || band[c].hi > scores.held[c].hi)) return false;
  return true;
}

// The fragment that a stable sort by descending score would put first:
// ties go to the lower start row, then to the earlier entry in that row.
const DpPath* best_fragment(const DpWorkspace& ws) {
  const DpPath* best = nullptr;
  for (const DpFragment& f : ws.fragments)
    if (!best || f.path.max > best->max ||
        (f.path.max == best->max && ws.row_of(f.path.start) < ws.row_of(best->start)))
      best = &f.path;
  return best;
}

struct Trace {
  std::size_t gaps_second = 0, gaps_first = 0;  // left steps, up steps
};

// Walks the direction bytes back from the fragment's end; pairs are padded
// (1-based) indices, in decreasing order.
// The score of each pair is read on the way, while the walk waits for the
// next direction: both are scattered over memory, a column apart per step.
Trace trace_back(const DpPath& f, const ScoreMatrix& scores, DpWorkspace& ws) {
  Trace t;
  ws.traced.clear();
  ws.traced_scores.clear();
  std::size_t r = ws.row_of(f.peak), c = ws.col_of(f.peak);
  const std::size_t first_row = ws.row_of(f.start), first_col = ws.col_of(f.start);
  constexpr std::size_t ahead = 8;  // cells along the diagonal fetched in advance
  while (r >= first_row && c >= first_col && !(r == 0 && c == 0)) {
    if (r > ahead && c > ahead) {
      const std::size_t pr = r - ahead, pc = c - ahead;
      const Span band = ws.band[pc - 1], held = scores.held[pc - 1];
      if (pr >= band.lo && pr < band.hi) __builtin_prefetch(&ws.directions[ws.direction_start[pc - 1] + (pr - band.lo)]);
      if (pr >= held.lo && pr < held.hi) __builtin_prefetch(&scores.values[scores.start[pc - 1] + (pr - held.lo)]);
    }
    const std::uint8_t d = ws.direction(r, c);
    if (d & kFromDiagonal) {
      ws.traced.emplace_back(r, c);
      ws.traced_scores.push_back(scores.at(r, c));
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

void DpColumn::reset(std::size_t rows, bool wide) {
  for (auto* v : {&value, &max}) v->assign(rows, 0);
  for (auto* v : {&start, &peak}) wide ? v->clear() : v->assign(rows, 0);
  for (auto* v : {&wide_start, &wide_peak}) wide ? v->assign(rows, 0) : v->clear();
}

void DpColumn::clear(std::size_t from, std::size_t to) {
  clear_values(from, to);
  clear_records(from, to);
}

// Usually a row or two: plain loops, not calls of memset.
#if defined(__GNUC__) && !defined(__clang__)
[[gnu::optimize("no-tree-loop-distribute-patterns")]]
#endif
void DpColumn::clear_values(std::size_t from, std::size_t to) {
  std::int32_t* v = value.data();
  for (std::size_t r = from; r < to; ++r) v[r] = 0;
}

#if defined(__GNUC__) && !defined(__clang__)
[[gnu::optimize("no-tree-loop-distribute-patterns")]]
#endif
void DpColumn::clear_records(std::size_t from, std::size_t to) {
  std::int32_t* mx = max.data();
  if (wide_start.empty()) {
    std::uint32_t *st = start.data(), *pk = peak.data();
    for (std::size_t r = from; r < to; ++r) mx[r] = 0, st[r] = pk[r] = 0;
  } else {
    std::uint64_t *st = wide_start.data(), *pk = wide_peak.data();
    for (std::size_t r = from; r < to; ++r) mx[r] = 0, st[r] = pk[r] = 0;
  }
}

CycleResult dp_cycle(const PointList& coords1, const PointList& coords2, const ScoreMatrix& scores,
                     const AlignmentConfig& config, DpWorkspace& ws) {
  return dp_cycle(coords1, coords2, scores, config, ws, ColumnFeed{});
}

CycleResult dp_cycle(const PointList& coords1, const PointList& coords2, const ScoreMatrix& scores,
                     const AlignmentConfig& config, DpWorkspace& ws, const ColumnFeed& feed) {
  CycleResult out;
  const std::size_t n = scores.rows, m = scores.cols, stride = n + 2;
  // Without a cell there is no path: the band helpers assume both sides exist.
  if (n == 0 || m == 0) return out;
  const Thresholds th = thresholds_of(config);
  prepare_band(n, m, config.band_width, ws);
  if (!holds_band(scores, ws.band)) {
    if (feed) feed(1, m + 1);
    ScoreMatrix dense;
    dense.reset(n, m);
    for (std::size_t c = 1; c <= m; ++c)
      for (std::size_t r = 1; r <= n; ++r) dense.set(r, c, scores.at(r, c));
    return dp_cycle(coords1, coords2, dense, config, ws);
  }
  ws.stride = stride;
  ws.row_heads.assign(stride, -1);
  ws.fragments.clear();
  const std::int32_t best = run_dp(scores, th, ws, feed ? &feed : nullptr);
  const DpPath* frag = best_fragment(ws);
  if (!frag) return out;

  const Trace t = trace_back(*frag, scores, ws);
  const std::size_t length = ws.traced.size() + t.gaps_second + t.gaps_first;
  const double p = double(config.precision);
  out.path_length = length;
  out.residue_similarity.assign(std::max({length, n, m}), -1.0);
  for (std::size_t k = ws.traced.size(); k-- > 0;) {
    const std::int32_t s = ws.traced_scores[k];
    const ResiduePair pair{ws.traced[k].first - 1, ws.traced[k].second - 1};
    out.residue_similarity[pair.first] = double(s) / p;
    if (s >= th.core) out.core_pairs.push_back(pair);
  }
  out.core_count = out.core_pairs.size();
  fit_core(coords1, coords2, ws, out);

  if (n > 0 && m > 0 && length > 0)
    out.score = ((double(best) / p) / double(length)) * (double(length - t.gaps_second) / double(n)) *
                (double(length - t.gaps_first) / double(m));
  const auto from = [](std::size_t v) { return v > 0 ? std::size_t(v) - 1 : 0; };
  out.first_range = {from(ws.row_of(frag->start)), std::min(from(ws.row_of(frag->peak)), n - 1)};
  out.second_range = {from(ws.col_of(frag->start)), std::min(from(ws.col_of(frag->peak)), m - 1)};
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
