#include "pelda/scoring/similarity.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "pelda/math/exp.hpp"
#include "pelda/math/rounding.hpp"
#include "pelda/math/vector_clones.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define PELDA_SIMILARITY_AVX2 1
#define PELDA_AVX2_LAMBDA __attribute__((target("avx2,fma"), always_inline))
#include <immintrin.h>
#else
#define PELDA_SIMILARITY_AVX2 0
#endif

namespace pelda {
namespace {

SimilarityKernel kernel_of(const SimilarityContext& ctx, bool normalize) {
  const double p = double(ctx.precision);
  const bool scaled = normalize && ctx.normalizes();
  const double mean = scaled ? ctx.norm_mean : 0.0;
  // P < mean * 2^-60 keeps a margin of 2^5 below the half ulp.
  const double negligible = mean > 0.0 ? std::log(mean) - 60.0 * std::log(2.0) : -INFINITY;
  return {p * p, ctx.dist_denominator, ctx.conf_denominator, mean, scaled ? ctx.norm_sd : 1.0, negligible};
}

// Turns exponents into normalised similarities. The exponential runs only
// between the first and the last exponent that is not negligible: distant
// residues (most cells between unrelated or far-apart chains) skip it.
inline void finish_line(double* __restrict v, std::size_t len, const SimilarityKernel& k) {
  const double far = (0.0 - k.mean) / k.sd;
  std::size_t first = 0, last = len;
  while (first < len && v[first] < k.negligible_below) v[first++] = far;
  while (last > first && v[last - 1] < k.negligible_below) v[--last] = far;
  for (std::size_t q = first; q < last; ++q) v[q] = (exp_1ulp(v[q]) - k.mean) / k.sd;
}

// Residue i of `a` against residues lo..hi-1 of `b`, into out[0..hi-lo).
// The formula is symmetric in the two traces bit for bit (differences only
// change sign before they are squared), so a caller may hold either trace
// fixed and get the same numbers for the same residue pair.
inline void similarity_line(const IntegerTrace& a, std::size_t i, const IntegerTrace& b, std::size_t lo,
                            std::size_t hi, const SimilarityKernel& kernel, double* __restrict out) {
  const SimilarityKernel k = kernel;
  const double ax = a.x[i], ay = a.y[i], az = a.z[i];
  const double abx = a.bx[i], aby = a.by[i], abz = a.bz[i];
  const double afx = a.fx[i], afy = a.fy[i], afz = a.fz[i];
  const double a_back = a.has_back[i], a_fwd = a.has_fwd[i];
  const double *bx = b.x.data(), *by = b.y.data(), *bz = b.z.data();
  const double *bbx = b.bx.data(), *bby = b.by.data(), *bbz = b.bz.data();
  const double *bfx = b.fx.data(), *bfy = b.fy.data(), *bfz = b.fz.data();
  const double *b_back = b.has_back.data(), *b_fwd = b.has_fwd.data();
  for (std::size_t j = lo; j < hi; ++j) {
    const double dx = ax - bx[j], dy = ay - by[j], dz = az - bz[j];
    const double d = dx * dx + dy * dy + dz * dz;  // the squared distance every cut refers to
    const double ux = abx - bbx[j], uy = aby - bby[j], uz = abz - bbz[j];
    const double vx = afx - bfx[j], vy = afy - bfy[j], vz = afz - bfz[j];
    // An absent term is multiplied by 0 and adds nothing; a present one by 1.
    const double c = (ux * ux + uy * uy + uz * uz) * (a_back * b_back[j]) +
                     (vx * vx + vy * vy + vz * vz) * (a_fwd * b_fwd[j]);
    out[j - lo] = (d / k.precision_sq) / k.dist_denominator + (c / k.precision_sq) / k.conf_denominator;
  }
  if (hi > lo) finish_line(out, hi - lo, k);
}

PELDA_VECTOR_CLONES
void fill_rows(const IntegerTrace& a, const IntegerTrace& b, const std::vector<Span>& rows, const SimilarityKernel& k,
               double* values) {
  const std::size_t m = b.size();
  for (std::size_t i = 0; i < rows.size(); ++i) similarity_line(a, i, b, rows[i].lo, rows[i].hi, k, values + i * m + rows[i].lo);
}

// The integer score of a similarity P, exactly as the kernels convert it.
inline std::int32_t score_of(double p, const SimilarityKernel& k, double precision) {
  return round_to_int32(((p - k.mean) / k.sd) * precision);
}

// Where a cell's integer score is exactly what P = 0 scores.
struct FarCut {
  double distance = INFINITY;   // squared, on the integer grid, whatever the conformation term
  double exponent = -INFINITY;  // exponents at or below this
};

// The far cut of a kernel; no cut (the defaults) when no bound is safe. Why
// it holds:
// - the score is a monotone function of P (every step rounds monotonically),
//   so it equals score(0) on all of [0, p_max], p_max found by bisection;
// - the conformation term is never positive (c >= 0 over a negative
//   denominator), so the exponent is at most the distance term, which the
//   bound keeps below x0 = log(p_max) - 1e-6 despite the two roundings
//   (the factor 1 + 1e-9 outweighs them);
// - exp_1ulp is within one ulp, so e^x0 (1 + 2^-52) < p_max bounds P.
FarCut far_cut(const SimilarityKernel& k, double precision) {
  const bool usable = k.dist_denominator < 0.0 && std::isfinite(k.dist_denominator) && k.conf_denominator < 0.0 &&
                      std::isfinite(k.conf_denominator) && k.precision_sq > 0.0 && std::isfinite(k.precision_sq);
  const std::int32_t far = score_of(0.0, k, precision);
  if (!usable || score_of(INFINITY, k, precision) == far) return {};
  // Non-negative doubles order like their bit patterns.
  std::uint64_t lo = 0, hi = std::bit_cast<std::uint64_t>(double(INFINITY));  // score(lo) == far != score(hi)
  while (hi - lo > 1) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    (score_of(std::bit_cast<double>(mid), k, precision) == far ? lo : hi) = mid;
  }
  const double p_max = std::bit_cast<double>(lo);
  if (!(p_max > 0.0)) return {};
  const double x0 = std::log(p_max) - 1e-6;
  return {x0 * k.dist_denominator * k.precision_sq * (1.0 + 1e-9), x0};
}

// The short route of a kernel, when its constants allow one.
std::optional<ShortRoute> short_route(const SimilarityKernel& k, double precision) {
  const auto finite = [](double x) { return std::isfinite(x); };
  if (!(finite(k.precision_sq) && k.precision_sq > 0.0 && finite(k.dist_denominator) && k.dist_denominator < 0.0 &&
        finite(k.conf_denominator) && k.conf_denominator < 0.0 && finite(k.mean) && finite(k.sd) && k.sd != 0.0 &&
        finite(precision)))
    return std::nullopt;
  ShortRoute r{1.0 / (k.precision_sq * k.dist_denominator), 1.0 / (k.precision_sq * k.conf_denominator),
               precision / k.sd, -(k.mean * precision) / k.sd, 0.0};
  const double size = std::fabs(r.scale) + std::fabs(r.shift);
  if (!(finite(r.dist_factor) && finite(r.conf_factor) && size < 0x1p30 && size > 0x1p-900)) return std::nullopt;
  r.margin = 1e-8 * size;
  return r;
}

// Four doubles at a time (lowered to narrower registers where the
// processor has none this wide). No function takes or returns these by
// value: the baseline clone has no registers for them.
using Doubles = double __attribute__((vector_size(32)));
using Bits = std::int64_t __attribute__((vector_size(32)));
using Ints = std::int32_t __attribute__((vector_size(16)));
using UnalignedDoubles = double __attribute__((vector_size(32), aligned(8), __may_alias__));

// Four doubles from p on.
#define PELDA_LOAD4(p) (*reinterpret_cast<const UnalignedDoubles*>(p))

// x = e^x for x <= 0 within 1e-11 (relative; inputs below -700 give
// e^-700): x = k ln2 + r with |r| <= ln2/2, e^r by its Taylor series to r^9.
[[gnu::always_inline]] inline void exp_short(Doubles& x) {
  const Doubles round_shift = Doubles{} + 0x1.8p52, floor = Doubles{} - 700.0;
  const Bits below = x < floor;
  x = reinterpret_cast<Doubles>((reinterpret_cast<Bits>(floor) & below) | (reinterpret_cast<Bits>(x) & ~below));
  Doubles k = x * 1.44269504088896338700e+00 + round_shift;
  k -= round_shift;
  const Doubles r = (x - k * 6.93147180369123816490e-01) - k * 1.90821492927058770002e-10;
  // Estrin's scheme: short chains of dependent operations.
  const Doubles r2 = r * r, r4 = r2 * r2;
  const Doubles p01 = 1.0 + r, p23 = 0.5 + r * (1.0 / 6.0), p45 = 1.0 / 24.0 + r * (1.0 / 120.0);
  const Doubles p67 = 1.0 / 720.0 + r * (1.0 / 5040.0), p89 = 1.0 / 40320.0 + r * (1.0 / 362880.0);
  const Doubles p = (p01 + r2 * p23) + r4 * ((p45 + r2 * p67) + r4 * p89);
  const Doubles biased = k + (1023.0 + 0x1p52);
  x = p * reinterpret_cast<Doubles>(reinterpret_cast<Bits>(biased) << 52);
}

// One residue of the column trace, in every lane.
struct Probe {
  Doubles x, y, z, bx, by, bz, fx, fy, fz, back, fwd;

  Probe(const IntegerTrace& t, std::size_t i)
      : x(Doubles{} + t.x[i]), y(Doubles{} + t.y[i]), z(Doubles{} + t.z[i]), bx(Doubles{} + t.bx[i]),
        by(Doubles{} + t.by[i]), bz(Doubles{} + t.bz[i]), fx(Doubles{} + t.fx[i]), fy(Doubles{} + t.fy[i]),
        fz(Doubles{} + t.fz[i]), back(Doubles{} + t.has_back[i]), fwd(Doubles{} + t.has_fwd[i]) {}
};

// The arrays of a trace, read without going through its vectors.
struct TraceRows {
  const double *x, *y, *z, *bx, *by, *bz, *fx, *fy, *fz, *has_back, *has_fwd;

  explicit TraceRows(const IntegerTrace& t)
      : x(t.x.data()), y(t.y.data()), z(t.z.data()), bx(t.bx.data()), by(t.by.data()), bz(t.bz.data()),
        fx(t.fx.data()), fy(t.fy.data()), fz(t.fz.data()), has_back(t.has_back.data()), has_fwd(t.has_fwd.data()) {}
};

// Scores of the probe against residues q..q+3 of `a` into out[0..4), the
// same expressions as the kernel's up to the exponent; `tie` flags lanes
// near a rounding tie, left for the kernel.
[[gnu::always_inline]] inline void short_scores(const Probe& p, const TraceRows& a, std::size_t q,
                                                const ScorePlan& plan, std::int32_t* out, Bits& tie) {
  const ShortRoute& s = *plan.route;
  const Doubles dx = p.x - PELDA_LOAD4(a.x + q), dy = p.y - PELDA_LOAD4(a.y + q), dz = p.z - PELDA_LOAD4(a.z + q);
  const Doubles d = dx * dx + dy * dy + dz * dz;
  const Bits beyond = d >= plan.far_distance;
  if ((beyond[0] & beyond[1] & beyond[2] & beyond[3]) != 0) {  // all four score as far apart
    for (int i = 0; i < 4; ++i) out[i] = plan.far_score;
    tie = Bits{};
    return;
  }
  const Doubles ux = p.bx - PELDA_LOAD4(a.bx + q), uy = p.by - PELDA_LOAD4(a.by + q),
                uz = p.bz - PELDA_LOAD4(a.bz + q);
  const Doubles vx = p.fx - PELDA_LOAD4(a.fx + q), vy = p.fy - PELDA_LOAD4(a.fy + q),
                vz = p.fz - PELDA_LOAD4(a.fz + q);
  const Doubles c = (ux * ux + uy * uy + uz * uz) * (p.back * PELDA_LOAD4(a.has_back + q)) +
                    (vx * vx + vy * vy + vz * vz) * (p.fwd * PELDA_LOAD4(a.has_fwd + q));
  Doubles y = d * s.dist_factor + c * s.conf_factor;
  exp_short(y);
  y = y * s.scale + s.shift;
  const Doubles round_shift = Doubles{} + 0x1.8p52;
  const Doubles nearest = (y + round_shift) - round_shift;
  const Doubles off = y - nearest;
  const Ints whole = __builtin_convertvector(nearest, Ints);
  std::memcpy(out, &whole, sizeof whole);
  tie = (off >= 0.5 - s.margin) | (off <= s.margin - 0.5);
}

// Consecutive residues of a trace in blocks of kBlock, each with a sphere
// around it: a residue farther than sqrt(reach) from the centre of a block
// lies farther than sqrt(limit) from all of the block's residues. Computed
// distances are exact up to relative errors near 1e-16 (coordinates are
// integers), which the margins outweigh by far.
constexpr std::size_t kBlock = 4;

void block_spheres(const IntegerTrace& a, double limit, BlockSpheres& out) {
  const std::size_t n = a.size(), blocks = (n + kBlock - 1) / kBlock;
  for (auto* v : {&out.x, &out.y, &out.z}) v->assign(blocks + 4, 0.0);
  out.reach.assign(blocks + 4, -1.0);  // the padding is never within reach
  for (std::size_t b = 0; b < blocks; ++b) {
    const std::size_t lo = b * kBlock, hi = std::min(n, lo + kBlock);
    double cx = 0.0, cy = 0.0, cz = 0.0;
    for (std::size_t i = lo; i < hi; ++i) cx += a.x[i], cy += a.y[i], cz += a.z[i];
    const double count = double(hi - lo);
    cx /= count, cy /= count, cz /= count;
    double r2 = 0.0;
    for (std::size_t i = lo; i < hi; ++i) {
      const double dx = a.x[i] - cx, dy = a.y[i] - cy, dz = a.z[i] - cz;
      r2 = std::max(r2, dx * dx + dy * dy + dz * dz);
    }
    const double reach = (std::sqrt(limit) + std::sqrt(r2)) * (1.0 + 1e-9) + 1.0;
    out.x[b] = cx, out.y[b] = cy, out.z[b] = cz, out.reach[b] = reach * reach;
  }
}

// The spheres in single precision, about the first centre: a residue within
// reach of a sphere lies within `extent` (the farthest centre plus the
// largest reach) of that origin, so each of the rounded coordinates of the
// test is off by at most extent 2^-24, the distance by less than 6 extent
// 2^-24, and the squares and sums round by a few 2^-24 more, which the last
// factor covers. Residues out of reach may test either way.
void single_precision_spheres(BlockSpheres& s) {
  const std::size_t blocks = s.x.size(), size = blocks + 8;
  for (auto* v : {&s.fx, &s.fy, &s.fz}) v->assign(size, 0.0f);
  s.freach.assign(size, -1.0f);
  s.origin = blocks > 0 ? Vec3{s.x[0], s.y[0], s.z[0]} : Vec3{};
  double extent = 0.0;
  for (std::size_t b = 0; b < blocks; ++b) {
    if (s.reach[b] < 0.0) continue;
    const double dx = s.x[b] - s.origin.x, dy = s.y[b] - s.origin.y, dz = s.z[b] - s.origin.z;
    extent = std::max(extent, std::sqrt(dx * dx + dy * dy + dz * dz) + std::sqrt(s.reach[b]));
  }
  const double slack = 6.0 * extent * 0x1p-24 + 1.0;
  for (std::size_t b = 0; b < blocks; ++b) {
    s.fx[b] = float(s.x[b] - s.origin.x), s.fy[b] = float(s.y[b] - s.origin.y), s.fz[b] = float(s.z[b] - s.origin.z);
    if (s.reach[b] < 0.0) continue;
    const double reach = std::sqrt(s.reach[b]) + slack;
    s.freach[b] = float(reach * reach * (1.0 + 0x1p-16));  // rounding to a float moves it by less
  }
}

// The blocks of rows in `span` whose sphere reaches residue j of `b`, in
// order, without a branch per block.
[[gnu::always_inline]] inline std::size_t near_blocks(const IntegerTrace& b, std::size_t j, Span span,
                                                      const BlockSpheres& spheres, std::int64_t* within,
                                                      std::uint32_t* listed) {
  const Doubles x = Doubles{} + b.x[j], y = Doubles{} + b.y[j], z = Doubles{} + b.z[j];
  const double *sx = spheres.x.data(), *sy = spheres.y.data(), *sz = spheres.z.data(), *sr = spheres.reach.data();
  const std::size_t first = span.lo / kBlock, past = (span.hi + kBlock - 1) / kBlock;
  for (std::size_t q = first; q < past; q += 4) {
    const Doubles dx = x - PELDA_LOAD4(sx + q), dy = y - PELDA_LOAD4(sy + q), dz = z - PELDA_LOAD4(sz + q);
    const Bits in = dx * dx + dy * dy + dz * dz <= PELDA_LOAD4(sr + q);
    std::memcpy(within + (q - first), &in, sizeof in);
  }
  std::size_t count = 0;
  for (std::size_t q = first; q < past; ++q) {
    listed[count] = std::uint32_t(q);
    count += std::size_t(within[q - first] & 1);
  }
  return count;
}

// The plan of an evaluation by columns, and the spheres it culls with.
void plan_scores(const IntegerTrace& a, const SimilarityKernel& kernel, double precision, std::int32_t unevaluated,
                 SimilarityScratch& scratch) {
  ScorePlan& plan = scratch.plan;
  const FarCut cut = far_cut(kernel, precision);
  plan.kernel = kernel;
  plan.kernel.negligible_below = std::max(kernel.negligible_below, cut.exponent);
  plan.precision = precision;
  plan.far_distance = cut.distance;
  plan.far_score = score_of(0.0, plan.kernel, precision);
  plan.unevaluated = unevaluated;
  plan.route = short_route(plan.kernel, precision);
  if (std::isfinite(cut.distance)) {
    block_spheres(a, cut.distance, scratch.spheres);
    single_precision_spheres(scratch.spheres);
  }
}

// Lays out column c: held rows outside the evaluated run score as
// unevaluated, the run's rows as far apart until computed. Returns the
// column by residue of `a` (row i + 1 at [i]). Inlined, so that the fill
// takes its caller's instruction set.
[[gnu::always_inline]] inline std::int32_t* lay_out_column(ScoreMatrix& out, std::size_t c, Span held, Span run,
                                                          const ScorePlan& plan) {
  std::int32_t* __restrict col = out.column(c) + (1 - held.lo);
  const std::int32_t far = plan.far_score, unevaluated = plan.unevaluated;
  const std::size_t lo = run.empty() ? held.hi - 1 : run.lo, hi = run.empty() ? held.hi - 1 : run.hi;
  for (std::size_t i = held.lo - 1; i < lo; ++i) col[i] = unevaluated;
  for (std::size_t i = lo; i < hi; ++i) col[i] = far;
  for (std::size_t i = hi; i < held.hi - 1; ++i) col[i] = unevaluated;
  return col;
}

// Rows of block q within the run.
Span clipped(std::size_t q, Span run) { return {std::max(q * kBlock, run.lo), std::min((q + 1) * kBlock, run.hi)}; }

// Every block of the run, listed.
std::size_t all_blocks(Span run, std::uint32_t* listed) {
  std::size_t count = 0;
  for (std::size_t q = run.lo / kBlock; q <= (run.hi - 1) / kBlock; ++q) listed[count++] = std::uint32_t(q);
  return count;
}

// The kernel's scores of rows r (at most a block) of `a` against residue j
// of `b`. Kept out of line: the callers may be compiled with contracted
// multiply-adds, which the kernel must not take.
[[gnu::noinline]] void kernel_scores(const IntegerTrace& a, const IntegerTrace& b, std::size_t j, Span r,
                                     const ScorePlan& plan, std::int32_t* col) {
  double v[kBlock];
  similarity_line(b, j, a, r.lo, r.hi, plan.kernel, v);
  for (std::size_t i = r.lo; i < r.hi; ++i) col[i] = round_to_int32(v[i - r.lo] * plan.precision);
}

// Columns from..to-1 (1-based) of `out`, rows of `a` in `band.columns`,
// written straight into the matrix: rows of the run in blocks beyond reach
// keep the far score, the others take the short route where it applies, the
// kernel elsewhere.
PELDA_VECTOR_CLONES
void score_columns_portable(const IntegerTrace& a, const IntegerTrace& b, const SimilarityBand& band,
                            ScoreMatrix& out, SimilarityScratch& scratch, std::size_t from, std::size_t to) {
  const ScorePlan& plan = scratch.plan;
  const bool culls = std::isfinite(plan.far_distance);
  const std::size_t whole_blocks = a.size() / kBlock;
  scratch.listed.resize(whole_blocks + 8);
  scratch.within.resize(whole_blocks + 8);
  std::uint32_t* __restrict listed = scratch.listed.data();
  std::int64_t* __restrict within = scratch.within.data();
  const TraceRows rows(a);
  for (std::size_t c = from; c < to; ++c) {
    const Span held = band.held[c - 1], run = band.columns[c - 1];
    if (held.empty()) continue;
    std::int32_t* __restrict col = lay_out_column(out, c, held, run, plan);
    if (run.empty()) continue;
    const std::size_t j = c - 1;
    const std::size_t count = culls ? near_blocks(b, j, run, scratch.spheres, within, listed) : all_blocks(run, listed);
    // Listed blocks come in order: the whole ones take the short route, the
    // last partial one the kernel. A tie anywhere, rare, sends the whole
    // column's listed blocks to the kernel.
    std::size_t t = 0;
    if (plan.route) {
      const Probe probe(b, j);
      Bits ties = {0, 0, 0, 0};
      for (; t < count && listed[t] < whole_blocks; ++t) {
        const std::size_t q = listed[t];
        Bits tie;
        if (q * kBlock >= run.lo && (q + 1) * kBlock <= run.hi) {
          short_scores(probe, rows, q * kBlock, plan, col + q * kBlock, tie);
        } else {  // a block at an end of the run
          std::int32_t v[kBlock];
          short_scores(probe, rows, q * kBlock, plan, v, tie);
          for (std::size_t i = clipped(q, run).lo; i < clipped(q, run).hi; ++i) col[i] = v[i - q * kBlock];
        }
        ties |= tie;
      }
      if ((ties[0] | ties[1] | ties[2] | ties[3]) != 0)
        for (std::size_t u = 0; u < t; ++u) kernel_scores(a, b, j, clipped(listed[u], run), plan, col);
    }
    for (; t < count; ++t) kernel_scores(a, b, j, clipped(listed[t], run), plan, col);
  }
}

#if PELDA_SIMILARITY_AVX2
// The same with AVX2 and fused multiply-adds: the culling test lists blocks
// from a bit mask, the short route rounds less often (its error bound only
// shrinks) and ties still go to the kernel, so the scores are the same.
namespace avx2 {

#define PELDA_AVX2 [[gnu::target("avx2,fma"), gnu::always_inline]] inline
using D = __m256d;

PELDA_AVX2 D splat(double x) { return _mm256_set1_pd(x); }
PELDA_AVX2 D load(const double* p) { return _mm256_loadu_pd(p); }
PELDA_AVX2 D fma(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
PELDA_AVX2 D nearest(D x) { return _mm256_round_pd(x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
PELDA_AVX2 D squared_norm(D x, D y, D z) { return fma(x, x, fma(y, y, _mm256_mul_pd(z, z))); }

// col[lo..hi) = value, eight at a time; the last few through a mask.
PELDA_AVX2 void fill(std::int32_t* col, std::size_t lo, std::size_t hi, std::int32_t value) {
  const __m256i v = _mm256_set1_epi32(value);
  std::size_t i = lo;
  for (; i + 16 <= hi; i += 16) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(col + i), v);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(col + i + 8), v);
  }
  for (; i < hi; i += 8) {
    const __m256i lanes = _mm256_cmpgt_epi32(_mm256_set1_epi32(std::int32_t(hi - i)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    _mm256_maskstore_epi32(col + i, lanes, v);
  }
}

// lay_out_column with those fills.
PELDA_AVX2 std::int32_t* lay_out_column(ScoreMatrix& out, std::size_t c, Span held, Span run, const ScorePlan& plan) {
  std::int32_t* col = out.column(c) + (1 - held.lo);
  const std::size_t lo = run.empty() ? held.hi - 1 : run.lo, hi = run.empty() ? held.hi - 1 : run.hi;
  fill(col, held.lo - 1, lo, plan.unevaluated);
  fill(col, lo, hi, plan.far_score);
  fill(col, hi, held.hi - 1, plan.unevaluated);
  return col;
}

// Entry m: the set bits of the 4-bit mask m, in order.
alignas(16) constexpr std::int32_t kSetBits[16][4] = {
    {0, 0, 0, 0}, {0, 0, 0, 0}, {1, 0, 0, 0}, {0, 1, 0, 0}, {2, 0, 0, 0}, {0, 2, 0, 0}, {1, 2, 0, 0}, {0, 1, 2, 0},
    {3, 0, 0, 0}, {0, 3, 0, 0}, {1, 3, 0, 0}, {0, 1, 3, 0}, {2, 3, 0, 0}, {0, 2, 3, 0}, {1, 2, 3, 0}, {0, 1, 2, 3}};

// The blocks of the run whose sphere reaches residue j of `b`, in order,
// eight at a time in single precision; `listed` has room for eight more.
PELDA_AVX2 std::size_t near_blocks(const IntegerTrace& b, std::size_t j, Span run, const BlockSpheres& s,
                                   std::uint32_t* listed) {
  const __m256 x = _mm256_set1_ps(float(b.x[j] - s.origin.x)), y = _mm256_set1_ps(float(b.y[j] - s.origin.y)),
               z = _mm256_set1_ps(float(b.z[j] - s.origin.z));
  const float *__restrict sx = s.fx.data(), *__restrict sy = s.fy.data(), *__restrict sz = s.fz.data(),
              *__restrict reach = s.freach.data();
  const std::size_t first = run.lo / kBlock, past = (run.hi + kBlock - 1) / kBlock;
  std::size_t count = 0;
  for (std::size_t q = first; q < past; q += 8) {
    const __m256 dx = _mm256_sub_ps(x, _mm256_loadu_ps(sx + q)), dy = _mm256_sub_ps(y, _mm256_loadu_ps(sy + q)),
                 dz = _mm256_sub_ps(z, _mm256_loadu_ps(sz + q));
    const __m256 d = _mm256_fmadd_ps(dx, dx, _mm256_fmadd_ps(dy, dy, _mm256_mul_ps(dz, dz)));
    unsigned mask = unsigned(_mm256_movemask_ps(_mm256_cmp_ps(d, _mm256_loadu_ps(reach + q), _CMP_LE_OQ)));
    if (past - q < 8) mask &= (1u << (past - q)) - 1;
    for (unsigned half = 0; half < 2; ++half) {
      const unsigned bits = (mask >> (4 * half)) & 15u;
      const __m128i blocks = _mm_add_epi32(_mm_set1_epi32(std::int32_t(q + 4 * half)),
                                           _mm_load_si128(reinterpret_cast<const __m128i*>(kSetBits[bits])));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(listed + count), blocks);
      count += std::size_t(std::popcount(bits));
    }
  }
  return count;
}

// x = e^x as exp_short does, with fused steps.
PELDA_AVX2 D exp_short(D x) {
  x = _mm256_max_pd(x, splat(-700.0));
  const D k = nearest(_mm256_mul_pd(x, splat(1.44269504088896338700e+00)));
  D r = _mm256_fnmadd_pd(k, splat(6.93147180369123816490e-01), x);
  r = _mm256_fnmadd_pd(k, splat(1.90821492927058770002e-10), r);
  const D r2 = _mm256_mul_pd(r, r), r4 = _mm256_mul_pd(r2, r2);
  const D p01 = _mm256_add_pd(r, splat(1.0)), p23 = fma(r, splat(1.0 / 6.0), splat(0.5));
  const D p45 = fma(r, splat(1.0 / 120.0), splat(1.0 / 24.0)), p67 = fma(r, splat(1.0 / 5040.0), splat(1.0 / 720.0));
  const D p89 = fma(r, splat(1.0 / 362880.0), splat(1.0 / 40320.0));
  const D p = fma(r4, fma(r4, p89, fma(r2, p67, p45)), fma(r2, p23, p01));
  const D biased = _mm256_add_pd(k, splat(1023.0 + 0x1p52));
  return _mm256_mul_pd(p, _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_castpd_si256(biased), 52)));
}

// Squared distances of the probe to rows q..q+3 of `a`.
PELDA_AVX2 D distances(const TraceRows& a, const D* probe, std::size_t q) {
  return squared_norm(_mm256_sub_pd(probe[0], load(a.x + q)), _mm256_sub_pd(probe[1], load(a.y + q)),
                      _mm256_sub_pd(probe[2], load(a.z + q)));
}

// short_scores with fused steps and without the test for far rows (done
// before); `ties` gathers lanes near a rounding tie.
PELDA_AVX2 void short_scores(const TraceRows& a, const D* probe, std::size_t q, const ShortRoute& s,
                             std::int32_t* out, D& ties) {
  const auto minus = [&](int f, const double* plane) PELDA_AVX2_LAMBDA { return _mm256_sub_pd(probe[f], load(plane + q)); };
  const D d = distances(a, probe, q);
  const D back = _mm256_mul_pd(probe[9], load(a.has_back + q)), fwd = _mm256_mul_pd(probe[10], load(a.has_fwd + q));
  const D c = fma(squared_norm(minus(3, a.bx), minus(4, a.by), minus(5, a.bz)), back,
                  _mm256_mul_pd(squared_norm(minus(6, a.fx), minus(7, a.fy), minus(8, a.fz)), fwd));
  const D p = exp_short(fma(d, splat(s.dist_factor), _mm256_mul_pd(c, splat(s.conf_factor))));
  const D y = fma(p, splat(s.scale), splat(s.shift)), whole = nearest(y), off = _mm256_sub_pd(y, whole);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_cvtpd_epi32(whole));
  ties = _mm256_or_pd(ties, _mm256_or_pd(_mm256_cmp_pd(off, splat(0.5 - s.margin), _CMP_GE_OQ),
                                         _mm256_cmp_pd(off, splat(s.margin - 0.5), _CMP_LE_OQ)));
}

// The listed whole blocks with a row nearer than the far distance, kept in
// place and in order, without a branch per block: the route then runs on
// them without mispredicted branches between its long chains.
PELDA_AVX2 std::size_t near_rows(const TraceRows& a, const D* probe, double far, std::uint32_t* listed,
                                 std::size_t count) {
  std::size_t kept = 0;
  for (std::size_t t = 0; t < count; ++t) {
    const std::uint32_t q = listed[t];
    listed[kept] = q;
    kept += std::size_t(_mm256_movemask_pd(_mm256_cmp_pd(distances(a, probe, q * kBlock), splat(far), _CMP_LT_OQ)) != 0);
  }
  return kept;
}

[[gnu::target("avx2,fma")]] void score_columns(const IntegerTrace& a, const IntegerTrace& b,
                                               const SimilarityBand& band, ScoreMatrix& out,
                                               SimilarityScratch& scratch, std::size_t from, std::size_t to) {
  const ScorePlan& plan = scratch.plan;
  const bool culls = std::isfinite(plan.far_distance);
  const std::size_t whole_blocks = a.size() / kBlock;
  scratch.listed.resize(whole_blocks + 16);
  std::uint32_t* __restrict listed = scratch.listed.data();
  const TraceRows rows(a);
  for (std::size_t c = from; c < to; ++c) {
    const Span held = band.held[c - 1], run = band.columns[c - 1];
    if (held.empty()) continue;
    std::int32_t* __restrict col = lay_out_column(out, c, held, run, plan);
    if (run.empty()) continue;
    const std::size_t j = c - 1;
    const std::size_t count = culls ? near_blocks(b, j, run, scratch.spheres, listed) : all_blocks(run, listed);
    // A block at the end of `a` with fewer than four rows takes the kernel.
    const std::size_t whole = count > 0 && listed[count - 1] >= whole_blocks ? count - 1 : count;
    if (whole < count) kernel_scores(a, b, j, clipped(listed[whole], run), plan, col);
    if (!plan.route) {
      for (std::size_t t = 0; t < whole; ++t) kernel_scores(a, b, j, clipped(listed[t], run), plan, col);
      continue;
    }
    const D probe[11] = {splat(b.x[j]),  splat(b.y[j]),  splat(b.z[j]),       splat(b.bx[j]),
                         splat(b.by[j]), splat(b.bz[j]), splat(b.fx[j]),      splat(b.fy[j]),
                         splat(b.fz[j]), splat(b.has_back[j]), splat(b.has_fwd[j])};
    const std::size_t near = near_rows(rows, probe, plan.far_distance, listed, whole);
    D ties = _mm256_setzero_pd();
    for (std::size_t t = 0; t < near; ++t) {
      const std::size_t q = listed[t];
      if (q * kBlock >= run.lo && (q + 1) * kBlock <= run.hi) {
        short_scores(rows, probe, q * kBlock, *plan.route, col + q * kBlock, ties);
      } else {  // a block at an end of the run
        std::int32_t v[kBlock];
        short_scores(rows, probe, q * kBlock, *plan.route, v, ties);
        for (std::size_t i = clipped(q, run).lo; i < clipped(q, run).hi; ++i) col[i] = v[i - q * kBlock];
      }
    }
    // A tie anywhere, rare, sends the column's near blocks to the kernel.
    if (_mm256_movemask_pd(ties) != 0)
      for (std::size_t t = 0; t < near; ++t) kernel_scores(a, b, j, clipped(listed[t], run), plan, col);
  }
}
#undef PELDA_AVX2

}  // namespace avx2

bool has_avx2_fma() {
  static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return yes;
}
#endif

void score_columns(const IntegerTrace& a, const IntegerTrace& b, const SimilarityBand& band, ScoreMatrix& out,
                   SimilarityScratch& scratch, std::size_t from, std::size_t to) {
#if PELDA_SIMILARITY_AVX2
  if (scratch.vector_columns && has_avx2_fma()) return avx2::score_columns(a, b, band, out, scratch, from, to);
#endif
  score_columns_portable(a, b, band, out, scratch, from, to);
}

// Same cells walked row by row; for bands whose columns are not one run.
void fill_score_rows(const IntegerTrace& a, const IntegerTrace& b, const std::vector<Span>& rows, const SimilarityKernel& k,
                     double precision, ScoreMatrix& out, std::vector<double>& line) {
  line.resize(b.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    similarity_line(a, i, b, rows[i].lo, rows[i].hi, k, line.data());
    for (std::size_t j = rows[i].lo; j < rows[i].hi; ++j)
      out.set(i + 1, j + 1, round_to_int32(line[j - rows[i].lo] * precision));
  }
}

// The rows evaluated in each column, when every column's rows form one run:
// the non-empty rows are consecutive and both ends of their spans never move
// back. The band tests are monotone in floating point, so this always holds
// for the bands the aligner builds; false sends the caller to the row walk.
bool columns_from_rows(const std::vector<Span>& rows, std::size_t m, std::vector<Span>& columns) {
  columns.assign(m, Span{});
  std::size_t f = 0;
  while (f < rows.size() && rows[f].empty()) ++f;
  if (f == rows.size()) return true;
  std::size_t l = f;
  while (l + 1 < rows.size() && !rows[l + 1].empty()) {
    if (rows[l + 1].lo < rows[l].lo || rows[l + 1].hi < rows[l].hi) return false;
    ++l;
  }
  for (std::size_t i = l + 1; i < rows.size(); ++i)
    if (!rows[i].empty()) return false;
  std::size_t first = f, past = f;  // first row with hi > j; first row with lo > j
  for (std::size_t j = 0; j < m; ++j) {
    while (first <= l && rows[first].hi <= j) ++first;
    while (past <= l && rows[past].lo <= j) ++past;
    if (first < past) columns[j] = {first, past};
  }
  return true;
}

SimilarityMatrix evaluate(const PointList& coords1, const PointList& coords2, const SimilarityContext& ctx,
                          bool banded) {
  SimilarityMatrix out;
  const std::size_t n = coords1.size(), m = coords2.size();
  out.rows = n;
  out.cols = m;
  out.normalized = ctx.normalizes();
  if (out.normalized) {
    out.mean = ctx.norm_mean;
    out.sd = ctx.norm_sd;
  }
  out.values.assign(n * m, ctx.normalize(0.0));
  if (n == 0 || m == 0) return out;
  IntegerTrace a, b;
  to_integer_trace(coords1, ctx.precision, a);
  to_integer_trace(coords2, ctx.precision, b);
  std::vector<Span> rows;
  BandTable table;
  if (banded) similarity_band_rows(n, m, ctx, table, rows);
  else rows.assign(n, Span{0, m});
  fill_rows(a, b, rows, kernel_of(ctx, true), out.values.data());
  return out;
}

}  // namespace

SimilarityContext SimilarityContext::from_config(const AlignmentConfig& config) {
  SimilarityContext ctx;
  ctx.e1 = config.e1;
  ctx.e2 = config.e2;
  ctx.dist_denominator = -2.0 * (config.e1 * config.e1);
  ctx.conf_denominator = -2.0 * (config.e2 * config.e2);
  ctx.norm_mean = config.norm_mean;
  ctx.norm_sd = config.norm_sd;
  ctx.band_width = config.band_width;
  ctx.precision = std::int32_t(config.precision);
  ctx.band_adjust = true;
  return ctx;
}

bool SimilarityContext::normalizes() const { return !(std::fabs(norm_sd) < 1e-10); }

// back[i] = v[i - 1] - v[i] and fwd[i] = -back[i + 1] where the neighbour
// exists, 0 where it does not.
PELDA_VECTOR_CLONES
void neighbour_differences(const double* __restrict v, std::size_t n, double* __restrict back,
                           double* __restrict fwd) {
  back[0] = 0.0;
  for (std::size_t i = 1; i < n; ++i) back[i] = v[i - 1] - v[i];
  for (std::size_t i = 0; i + 1 < n; ++i) fwd[i] = -back[i + 1];
  fwd[n - 1] = 0.0;
}

PELDA_VECTOR_CLONES
void to_integer_trace(const PointList& coords, std::int32_t precision, IntegerTrace& out) {
  const std::size_t n = coords.size();
  for (auto* v : {&out.x, &out.y, &out.z, &out.bx, &out.by, &out.bz, &out.fx, &out.fy, &out.fz, &out.has_back,
                  &out.has_fwd})
    v->resize(n);
  if (n == 0) return;
  const double p = double(precision);
  for (std::size_t i = 0; i < n; ++i) {
    out.x[i] = round_to_int32(coords[i].x * p);
    out.y[i] = round_to_int32(coords[i].y * p);
    out.z[i] = round_to_int32(coords[i].z * p);
  }
  neighbour_differences(out.x.data(), n, out.bx.data(), out.fx.data());
  neighbour_differences(out.y.data(), n, out.by.data(), out.fy.data());
  neighbour_differences(out.z.data(), n, out.bz.data(), out.fz.data());
  // The first residue has no previous one, the last no next.
  std::fill(out.has_back.begin(), out.has_back.end(), 1.0);
  std::fill(out.has_fwd.begin(), out.has_fwd.end(), 1.0);
  out.has_back[0] = out.has_fwd[n - 1] = 0.0;
}

double pair_similarity(const IntegerTrace& a, const IntegerTrace& b, std::size_t i, std::size_t j,
                       const SimilarityContext& ctx) {
  double p = 0.0;
  similarity_line(a, i, b, j, j + 1, kernel_of(ctx, false), &p);
  return p;
}

void similarity_band_rows(std::size_t n, std::size_t m, const SimilarityContext& ctx, BandTable& table,
                          std::vector<Span>& rows) {
  const double w = ctx.band_adjust ? adjusted_band_width(ctx.band_width, n, m) : ctx.band_width;
  table.build(make_band(w, double(n + 1), double(m + 1)), n, m);
  band_runs(table.row_frac.data(), n, table.col_frac.data(), 0, m, table.h, rows);
}

SimilarityMatrix similarity_banded(const PointList& coords1, const PointList& coords2,
                                   const SimilarityContext& ctx) {
  return evaluate(coords1, coords2, ctx, true);
}

SimilarityMatrix similarity_full(const PointList& coords1, const PointList& coords2,
                                 const SimilarityContext& ctx) {
  return evaluate(coords1, coords2, ctx, false);
}

void ScoreMatrix::reset(std::size_t n, std::size_t m) {
  reset(n, m, std::vector<Span>(m, Span{n > 0 ? 1u : 0u, n + (n > 0 ? 1 : 0)}), 0);
  std::fill(values.begin(), values.end(), 0);
}

void ScoreMatrix::reset(std::size_t n, std::size_t m, const std::vector<Span>& runs, std::int32_t outside_value) {
  top.reset();
  rows = n;
  cols = m;
  outside = outside_value;
  held = runs;
  start.resize(m);
  std::size_t total = 0;
  for (std::size_t c = 0; c < m; ++c) {
    start[c] = total;
    total += held[c].hi - held[c].lo;
  }
  values.resize(total);
}

namespace {

// Rebuilds the band of an n x m evaluation unless it is the one kept.
void prepare_band(std::size_t n, std::size_t m, const SimilarityContext& ctx, SimilarityBand& band) {
  if (band.n == n && band.m == m && band.width == ctx.band_width && band.adjust == ctx.band_adjust) return;
  band.n = n;
  band.m = m;
  band.width = ctx.band_width;
  band.adjust = ctx.band_adjust;
  similarity_band_rows(n, m, ctx, band.table, band.rows);
  band.by_columns = columns_from_rows(band.rows, m, band.columns);
  // Every column holds the run from the first to the last row that either the
  // evaluation or the dynamic programming touches.
  std::vector<Span> cycle;
  BandTable table;
  cycle_band(n, m, ctx.band_width, table, cycle);
  band.held.assign(m, Span{});
  for (std::size_t c = 1; c <= m; ++c) {
    Span h = cycle[c - 1];
    const auto widen = [&h](std::size_t lo, std::size_t hi) {
      if (lo == hi) return;
      h = h.empty() ? Span{lo, hi} : Span{std::min(h.lo, lo), std::max(h.hi, hi)};
    };
    if (band.by_columns) {
      widen(band.columns[c - 1].lo + 1, band.columns[c - 1].hi + 1);
    } else {
      widen(1, n + 1);
    }
    band.held[c - 1] = h;
  }
}

}  // namespace

bool prepare_banded_scores(const IntegerTrace& a, const IntegerTrace& b, const SimilarityContext& ctx,
                           std::uint32_t precision, ScoreMatrix& out, SimilarityScratch& scratch) {
  const std::size_t n = a.size(), m = b.size();
  if (n == 0 || m == 0) {
    out.reset(n, m);
    return false;
  }
  SimilarityBand& band = scratch.band;
  prepare_band(n, m, ctx, band);
  const double p = double(precision);
  const std::int32_t unevaluated = round_to_int32(ctx.normalize(0.0) * p);
  out.reset(n, m, band.held, unevaluated);
  const SimilarityKernel k = kernel_of(ctx, true);
  if (!band.by_columns) {
    std::fill(out.values.begin(), out.values.end(), unevaluated);
    fill_score_rows(a, b, band.rows, k, p, out, scratch.line);
    return false;
  }
  plan_scores(a, k, p, unevaluated, scratch);
  // P lies in [0, 1] and the score is monotone in P.
  out.top = std::max({unevaluated, score_of(0.0, k, p), score_of(1.0, k, p)});
  return true;
}

void banded_score_columns(const IntegerTrace& a, const IntegerTrace& b, ScoreMatrix& out, SimilarityScratch& scratch,
                          std::size_t from, std::size_t to) {
  score_columns(a, b, scratch.band, out, scratch, from, std::min(to, b.size() + 1));
}

void banded_scores(const IntegerTrace& a, const IntegerTrace& b, const SimilarityContext& ctx,
                   std::uint32_t precision, ScoreMatrix& out, SimilarityScratch& scratch) {
  if (prepare_banded_scores(a, b, ctx, precision, out, scratch)) banded_score_columns(a, b, out, scratch, 1, b.size() + 1);
}

void scores_from_matrix(const SimilarityMatrix& matrix, std::uint32_t precision, ScoreMatrix& out) {
  out.reset(matrix.rows, matrix.cols);
  const double p = double(precision);
  for (std::size_t c = 1; c <= matrix.cols; ++c)
    for (std::size_t r = 1; r <= matrix.rows; ++r) out.set(r, c, round_to_int32(matrix.at(r - 1, c - 1) * p));
}

}  // namespace pelda
