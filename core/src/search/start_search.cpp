#include "pelda/search/start_search.hpp"

#include <algorithm>
#include <array>
#include <bit>
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif
#include <cmath>
#include <cstring>
#include <numeric>
#include <string>

#include "pelda/search/ca_secondary_structure.hpp"
#include "pelda/search/gap_open_dp.hpp"
#include "pelda/search/quaternion_rotation.hpp"
#include "pelda/search/structural_alignment.hpp"

namespace pelda {
namespace {

// Gap open cost of the refinement alignments, in TM-term units.
constexpr double kRefineGapOpen = 0.6;
// Gap open cost of the secondary-structure string alignment.
constexpr double kStringGapOpen = 1.0;
// Refinement: a fit must raise the TM-score by more than this to count.
constexpr double kMinGain = 1e-6;
// Fits closer than this (A RMS over the mobile chain) count as one.
constexpr double kSameFit = 3.0, kSameStart = 1.0;
// Threading: offsets whose fit of all pairs ranks this high are refitted.
constexpr std::size_t kRefittedOffsets = 20;
// Fragment seeds: a fit is scored in full unless its score on every
// kSampleStride-th pair stays below kSampleMargin times the second best (on
// the shipped families this never drops one of the best two).
constexpr std::size_t kSampleStride = 4;
// Fragment pairs are fitted when the RMS difference of their internal
// distances is at most this (A). Helices match helices at many shifts, and
// at 2.0 over half the fragment pairs of a globin pair are fitted; 1.5 fits
// far fewer and gives the same results on the shipped families (so does 1.0).
constexpr double kFragmentShape = 1.5;
constexpr double kSampleMargin = 0.75;
constexpr std::size_t kThreadingSeeds = 3, kFragmentSeeds = 2, kRefined = 2, kStarts = 3;
constexpr int kFirstIterations = 1, kMoreIterations = 5;

double squared_distance(Vec3 a, Vec3 b) {
  const Vec3 d = a - b;
  return dot(d, d);
}

// K residue pairs as columns of coordinates: fixed (f) and mobile (m), in
// double precision for fits and in single precision for distances.
struct PairColumns {
  const double *fx, *fy, *fz, *mx, *my, *mz;
  const float *gx, *gy, *gz, *nx, *ny, *nz;  // the same, fixed (g) and mobile (n)
  std::size_t size;
  PairColumns range(std::size_t start, std::size_t count) const {
    const std::size_t s = start;
    return {fx + s, fy + s, fz + s, mx + s, my + s, mz + s, gx + s, gy + s, gz + s, nx + s, ny + s, nz + s, count};
  }
};

constexpr float kOnes[2] = {1.0f, 1.0f};

// Sums over (optionally weighted) pairs that determine their least-squares fit.
struct Moments {
  double w = 0.0, f[3] = {0, 0, 0}, m[3] = {0, 0, 0}, mf[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
  double ff = 0.0, mm = 0.0;  // sums of squared norms
};

// Two doubles side by side: the loops over pairs below work on two pairs at
// a time (partial sums per lane, always added in the same order).
typedef double D2 __attribute__((vector_size(16)));

// Loads pairs k and k + 1 (Two) or pair k alone, the other lane zero (One).
struct Two {
  D2 operator()(const double* p) const {
    D2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  D2 operator()(const float* p) const { return D2{double(p[0]), double(p[1])}; }
};
struct One {
  D2 operator()(const double* p) const { return D2{p[0], 0.0}; }
  D2 operator()(const float* p) const { return D2{double(p[0]), 0.0}; }
};

// Weights are 0 or 1 (a selection) or absent (every pair).
template <bool Weighted>
Moments weighted_moments(const PairColumns& p, const float* weight) {
  // Two passes, the sums of each fitting in registers.
  D2 w{}, sf0{}, sf1{}, sf2{}, sm0{}, sm1{}, sm2{}, sff{}, smm{};
  auto linear = [&](auto load, std::size_t k) {
    const D2 c = Weighted ? load(weight + k) : load(kOnes);  // float weights widen
    const D2 fx = load(p.fx + k) * c, fy = load(p.fy + k) * c, fz = load(p.fz + k) * c;
    const D2 mx = load(p.mx + k) * c, my = load(p.my + k) * c, mz = load(p.mz + k) * c;
    w += c;
    sf0 += fx, sf1 += fy, sf2 += fz;
    sm0 += mx, sm1 += my, sm2 += mz;
    sff += fx * fx + fy * fy + fz * fz;  // weights are 0 or 1: c^2 = c
    smm += mx * mx + my * my + mz * mz;
  };
  D2 a00{}, a01{}, a02{}, a10{}, a11{}, a12{}, a20{}, a21{}, a22{};
  auto cross = [&](auto load, std::size_t k) {
    const D2 c = Weighted ? load(weight + k) : load(kOnes);
    const D2 fx = load(p.fx + k) * c, fy = load(p.fy + k) * c, fz = load(p.fz + k) * c;
    const D2 mx = load(p.mx + k), my = load(p.my + k), mz = load(p.mz + k);
    a00 += mx * fx, a01 += mx * fy, a02 += mx * fz;
    a10 += my * fx, a11 += my * fy, a12 += my * fz;
    a20 += mz * fx, a21 += mz * fy, a22 += mz * fz;
  };
  std::size_t k = 0;
  for (; k + 2 <= p.size; k += 2) linear(Two{}, k);
  if (k < p.size) linear(One{}, k);
  for (k = 0; k + 2 <= p.size; k += 2) cross(Two{}, k);
  if (k < p.size) cross(One{}, k);
  auto sum = [](D2 v) { return v[0] + v[1]; };
  Moments s;
  s.w = sum(w);
  s.ff = sum(sff);
  s.mm = sum(smm);
  s.f[0] = sum(sf0), s.f[1] = sum(sf1), s.f[2] = sum(sf2);
  s.m[0] = sum(sm0), s.m[1] = sum(sm1), s.m[2] = sum(sm2);
  const D2 a[3][3] = {{a00, a01, a02}, {a10, a11, a12}, {a20, a21, a22}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) s.mf[i][j] = sum(a[i][j]);
  return s;
}

// Only the cross sums mf, for pairs that all count: four pairs at a time
// (pair k in lane k % 4, the rest one by one into lane 0), so the sums are
// the same whichever instructions carry the four lanes.
typedef double D4 __attribute__((vector_size(32)));

[[gnu::always_inline]] inline void cross_sums(const PairColumns& p, Moments& s) {
  D4 a00{}, a01{}, a02{}, a10{}, a11{}, a12{}, a20{}, a21{}, a22{};
  std::size_t k = 0;
  for (; k + 4 <= p.size; k += 4) {
    D4 fx, fy, fz, mx, my, mz;
    std::memcpy(&fx, p.fx + k, sizeof fx), std::memcpy(&fy, p.fy + k, sizeof fy);
    std::memcpy(&fz, p.fz + k, sizeof fz), std::memcpy(&mx, p.mx + k, sizeof mx);
    std::memcpy(&my, p.my + k, sizeof my), std::memcpy(&mz, p.mz + k, sizeof mz);
    a00 += mx * fx, a01 += mx * fy, a02 += mx * fz;
    a10 += my * fx, a11 += my * fy, a12 += my * fz;
    a20 += mz * fx, a21 += mz * fy, a22 += mz * fz;
  }
  for (; k < p.size; ++k) {
    const double fx = p.fx[k], fy = p.fy[k], fz = p.fz[k], mx = p.mx[k], my = p.my[k], mz = p.mz[k];
    a00[0] += mx * fx, a01[0] += mx * fy, a02[0] += mx * fz;
    a10[0] += my * fx, a11[0] += my * fy, a12[0] += my * fz;
    a20[0] += mz * fx, a21[0] += mz * fy, a22[0] += mz * fz;
  }
  const D4 a[3][3] = {{a00, a01, a02}, {a10, a11, a12}, {a20, a21, a22}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) s.mf[i][j] = (a[i][j][0] + a[i][j][1]) + (a[i][j][2] + a[i][j][3]);
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void cross_moments_avx2(const PairColumns& p, Moments& s) { cross_sums(p, s); }
bool has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

void cross_moments(const PairColumns& p, Moments& s) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (has_avx2()) return cross_moments_avx2(p, s);
#endif
  cross_sums(p, s);
}

Moments moments(const PairColumns& p, const float* weight) {
  return weight ? weighted_moments<true>(p, weight) : weighted_moments<false>(p, nullptr);
}

// Pair k (of weight 0 or 1) as a bit of a word array.
void to_bits(const float* weight, std::size_t count, std::vector<std::uint64_t>& bits) {
  bits.assign((count + 63) / 64, 0);
  std::size_t q = 0;
#if defined(__x86_64__) && defined(__GNUC__)
  const __m128 zero = _mm_setzero_ps();
  for (; q + 4 <= count; q += 4) {
    const auto four = std::uint64_t(_mm_movemask_ps(_mm_cmpneq_ps(_mm_loadu_ps(weight + q), zero)));
    bits[q / 64] |= four << (q % 64);  // q is a multiple of 4: the four bits share a word
  }
#endif
  for (; q < count; ++q) bits[q / 64] |= std::uint64_t(weight[q] != 0.0f) << (q % 64);
}

// The moments of a selection of pairs, kept from one selection to the next:
// successive selections of an iterative fit differ in a few pairs, which are
// added or taken away instead of summing every pair again.
struct HeldSelection {
  std::vector<std::uint64_t> bits;  // empty: nothing held
  Moments sums;
};

void add_pair(const PairColumns& p, std::size_t k, double sign, Moments& s) {
  const double f[3] = {p.fx[k], p.fy[k], p.fz[k]}, m[3] = {p.mx[k], p.my[k], p.mz[k]};
  s.w += sign;
  for (int a = 0; a < 3; ++a) {
    s.f[a] += sign * f[a];
    s.m[a] += sign * m[a];
    for (int b = 0; b < 3; ++b) s.mf[a][b] += sign * (m[a] * f[b]);
  }
  s.ff += sign * (f[0] * f[0] + f[1] * f[1] + f[2] * f[2]);
  s.mm += sign * (m[0] * m[0] + m[1] * m[1] + m[2] * m[2]);
}

// Pairs [start, start + length) of `count` as bits.
std::vector<std::uint64_t> run_bits(std::size_t count, std::size_t start, std::size_t length) {
  std::vector<std::uint64_t> bits((count + 63) / 64, 0);
  auto below = [](std::size_t q) { return q % 64 == 0 ? 0 : (std::uint64_t(1) << (q % 64)) - 1; };
  const std::size_t end = start + length;
  for (std::size_t w = start / 64; w < (end + 63) / 64; ++w) {
    std::uint64_t word = ~std::uint64_t(0);
    if (w == start / 64) word &= ~below(start);
    if (w == end / 64) word &= below(end);
    bits[w] = word;
  }
  return bits;
}

// The moments of the pairs in `bits` (weights `weight`), moving `held` there.
const Moments& selection_moments(const PairColumns& p, const float* weight, const std::vector<std::uint64_t>& bits,
                                 HeldSelection& held) {
  std::size_t changed = 0;
  if (held.bits.size() == bits.size())
    for (std::size_t w = 0; w < bits.size(); ++w) changed += std::size_t(std::popcount(bits[w] ^ held.bits[w]));
  // Adding or removing a pair costs a few times what summing one afresh does.
  if (held.bits.size() != bits.size() || 4 * changed >= p.size) {
    held.sums = moments(p, weight);
  } else {
    for (std::size_t w = 0; w < bits.size(); ++w)
      for (std::uint64_t d = bits[w] ^ held.bits[w]; d != 0; d &= d - 1) {
        const std::size_t k = 64 * w + std::size_t(std::countr_zero(d));
        add_pair(p, k, (bits[w] >> (k % 64)) & 1 ? 1.0 : -1.0, held.sums);
      }
  }
  held.bits = bits;
  return held.sums;
}

// The least-squares superposition of the mobile points onto the fixed ones.
Transform fit_moments(const Moments& s) {
  if (!(s.w > 0.0)) return {};
  const double cf[3] = {s.f[0] / s.w, s.f[1] / s.w, s.f[2] / s.w};
  const double cm[3] = {s.m[0] / s.w, s.m[1] / s.w, s.m[2] / s.w};
  Mat3 h;
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b) h[a][b] = s.mf[a][b] - s.w * cm[a] * cf[b];
  Transform t;
  // Half the summed squared distances from the centroids.
  const double spread = 0.5 * ((s.ff - s.w * (cf[0] * cf[0] + cf[1] * cf[1] + cf[2] * cf[2])) +
                               (s.mm - s.w * (cm[0] * cm[0] + cm[1] * cm[1] + cm[2] * cm[2])));
  t.rotation = quaternion_rotation(h, spread);
  const Vec3 rc = t.apply({cm[0], cm[1], cm[2]});
  t.translation = Vec3{cf[0], cf[1], cf[2]} - rc;
  return t;
}

// Four floats side by side.
typedef float F4 __attribute__((vector_size(16)));

F4 load4(const float* p) {
  F4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Squared distances of the pairs with the mobile points moved by t, into d2;
// returns the sum of their TM terms 1 / (1 + d2 / d0^2). Single precision:
// these only rank fits and choose the pairs to fit.
#if defined(__x86_64__) && defined(__GNUC__)
// a x + b y + c z + t, in that order.
__attribute__((target("avx2"))) inline __m256 row(__m256 a, __m256 b, __m256 c, __m256 x, __m256 y, __m256 z,
                                                  __m256 t) {
  return _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(a, x), _mm256_mul_ps(b, y)), _mm256_mul_ps(c, z)), t);
}

// The first k0 pairs (a multiple of 8) eight at a time: the same operations on
// every pair, and the TM terms of pairs k..k+3 and k+4..k+7 are added to the
// four partial sums in the order the four-wide loop adds them.
__attribute__((target("avx2"))) void distances_and_tm_avx2(const float (&r)[3][3], const float (&tr)[3], float inv,
                                                           const PairColumns& p, std::size_t k0,
                                                           float* __restrict d2, F4& tm) {
  const __m256 r00 = _mm256_set1_ps(r[0][0]), r01 = _mm256_set1_ps(r[0][1]), r02 = _mm256_set1_ps(r[0][2]);
  const __m256 r10 = _mm256_set1_ps(r[1][0]), r11 = _mm256_set1_ps(r[1][1]), r12 = _mm256_set1_ps(r[1][2]);
  const __m256 r20 = _mm256_set1_ps(r[2][0]), r21 = _mm256_set1_ps(r[2][1]), r22 = _mm256_set1_ps(r[2][2]);
  const __m256 tx = _mm256_set1_ps(tr[0]), ty = _mm256_set1_ps(tr[1]), tz = _mm256_set1_ps(tr[2]);
  const __m256 vinv = _mm256_set1_ps(inv), one = _mm256_set1_ps(1.0f);
  __m128 sums;
  std::memcpy(&sums, &tm, sizeof sums);
  for (std::size_t k = 0; k < k0; k += 8) {
    const __m256 x = _mm256_loadu_ps(p.nx + k), y = _mm256_loadu_ps(p.ny + k), z = _mm256_loadu_ps(p.nz + k);
    const __m256 dx = _mm256_sub_ps(_mm256_loadu_ps(p.gx + k), row(r00, r01, r02, x, y, z, tx));
    const __m256 dy = _mm256_sub_ps(_mm256_loadu_ps(p.gy + k), row(r10, r11, r12, x, y, z, ty));
    const __m256 dz = _mm256_sub_ps(_mm256_loadu_ps(p.gz + k), row(r20, r21, r22, x, y, z, tz));
    const __m256 d = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(dx, dx), _mm256_mul_ps(dy, dy)), _mm256_mul_ps(dz, dz));
    _mm256_storeu_ps(d2 + k, d);
    const __m256 term = _mm256_div_ps(one, _mm256_add_ps(one, _mm256_mul_ps(d, vinv)));
    sums = _mm_add_ps(sums, _mm256_castps256_ps128(term));
    sums = _mm_add_ps(sums, _mm256_extractf128_ps(term, 1));
  }
  std::memcpy(&tm, &sums, sizeof sums);
}

#endif

double distances_and_tm(const Transform& t, const PairColumns& p, double inv_d0_sq, float* __restrict d2) {
  // Locals, so that storing d2 cannot be taken to change them.
  float r[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i][j] = float(t.rotation[i][j]);
  const float tx = float(t.translation.x), ty = float(t.translation.y), tz = float(t.translation.z);
  const float inv = float(inv_d0_sq);
  const float *gx = p.gx, *gy = p.gy, *gz = p.gz, *nx = p.nx, *ny = p.ny, *nz = p.nz;
  auto at = [&](auto x, auto y, auto z, auto fx, auto fy, auto fz) {
    const auto dx = fx - (r[0][0] * x + r[0][1] * y + r[0][2] * z + tx);
    const auto dy = fy - (r[1][0] * x + r[1][1] * y + r[1][2] * z + ty);
    const auto dz = fz - (r[2][0] * x + r[2][1] * y + r[2][2] * z + tz);
    return dx * dx + dy * dy + dz * dz;
  };
  const F4 one{1.0f, 1.0f, 1.0f, 1.0f};
  F4 tm{};
  std::size_t k = 0;
#if defined(__x86_64__) && defined(__GNUC__)
  if (has_avx2()) {
    const float tr[3] = {tx, ty, tz};
    k = p.size / 8 * 8;
    distances_and_tm_avx2(r, tr, inv, p, k, d2, tm);
  }
#endif
  for (; k + 4 <= p.size; k += 4) {
    const F4 d = at(load4(nx + k), load4(ny + k), load4(nz + k), load4(gx + k), load4(gy + k), load4(gz + k));
    std::memcpy(d2 + k, &d, sizeof d);
    tm += one / (one + d * inv);
  }
  double sum = (double(tm[0]) + double(tm[1])) + (double(tm[2]) + double(tm[3]));
  for (; k < p.size; ++k) {
    d2[k] = at(nx[k], ny[k], nz[k], gx[k], gy[k], gz[k]);
    sum += double(1.0f / (1.0f + d2[k] * inv));
  }
  return sum;
}

// Weight 1 for the pairs closer than c, else 0; returns their number.
std::size_t within(const float* d2, std::size_t count, double c, float* __restrict weight) {
  const float c2 = float(c * c);
  std::size_t chosen = 0;
  for (std::size_t k = 0; k < count; ++k) {
    weight[k] = d2[k] < c2 ? 1.0f : 0.0f;
    chosen += d2[k] < c2;
  }
  return chosen;
}

// The pairs closer than c; c grows by 0.5 until 3 qualify (or until it
// passes every finite distance: NaN never qualifies). Returns their number.
std::size_t select(const float* d2, std::size_t count, double c, float* __restrict weight) {
  const std::size_t want = std::min<std::size_t>(3, count);
  std::size_t chosen = within(d2, count, c, weight);
  if (chosen >= want) return chosen;
  double farthest = 0.0;
  for (std::size_t k = 0; k < count; ++k)
    if (std::isfinite(d2[k])) farthest = std::max(farthest, double(d2[k]));
  while (chosen < want && c * c <= farthest) {
    c += 0.5;
    chosen = within(d2, count, c, weight);
  }
  return chosen;
}

// Columns of a point list (x, y, z each contiguous).
struct Columns {
  std::vector<double> c[3];
  std::vector<float> f[3];  // the same in single precision
  // every_kth[r][a][q] = f[a][kSampleStride q + r]: samples of the chain,
  // contiguous for the vector loops.
  std::vector<float> every_kth[kSampleStride][3];
  // prefix[k] = sums of x, y, z and x^2 + y^2 + z^2 over points 0..k-1.
  std::vector<std::array<double, 4>> prefix;
  explicit Columns(const PointList& p) : prefix(p.size() + 1) {
    for (std::size_t k = 0; k < p.size(); ++k)
      prefix[k + 1] = {prefix[k][0] + p[k].x, prefix[k][1] + p[k].y, prefix[k][2] + p[k].z,
                       prefix[k][3] + dot(p[k], p[k])};
    for (auto& v : c) v.resize(p.size());
    for (std::size_t k = 0; k < p.size(); ++k) c[0][k] = p[k].x, c[1][k] = p[k].y, c[2][k] = p[k].z;
    for (int a = 0; a < 3; ++a) {
      f[a].assign(c[a].begin(), c[a].end());
      for (std::size_t k = 0; k < p.size(); ++k) every_kth[k % kSampleStride][a].push_back(f[a][k]);
    }
  }
};

Vec3 mean_of(const PointList& p) {
  Vec3 mean{};
  for (const Vec3& v : p) mean = mean + v;
  const double n = double(p.size());
  return {mean.x / n, mean.y / n, mean.z / n};
}

PointList minus(const PointList& p, Vec3 shift) {
  PointList out(p.size());
  for (std::size_t k = 0; k < p.size(); ++k) out[k] = p[k] - shift;
  return out;
}

// Both chains are centred on their own means: the fits then work on small
// numbers, and a transform found here moves between the input frames after
// adding the means back (see to_input_frame).
class Search {
 public:
  Search(const PointList& x, const PointList& y, const AlignmentConfig& config)
      : mean_x_(mean_of(x)), mean_y_(mean_of(y)), x_(minus(x, mean_x_)), y_(minus(y, mean_y_)), xc_(x_), yc_(y_), config_(config), n_(x.size()), m_(y.size()) {
    d0r_ = tm_d0(n_);
    d0a_ = tm_d0(std::min(n_, m_));
    ds_ = std::clamp(d0r_, 4.5, 8.0);
    inv_d0r_sq_ = 1.0 / (d0r_ * d0r_);
  }

  StartSearch run();

 private:
  // Pairs gathered into columns (gathered_), valid until the next gather.
  PairColumns gather(const std::vector<ResiduePair>& pairs) {
    const std::size_t k = pairs.size();
    for (auto& v : gathered_) v.resize(k);
    for (auto& v : gathered_f_) v.resize(k);
    for (std::size_t q = 0; q < k; ++q) {
      const auto [i, j] = pairs[q];
      for (int a = 0; a < 3; ++a) {
        gathered_[a][q] = xc_.c[a][i], gathered_[3 + a][q] = yc_.c[a][j];
        gathered_f_[a][q] = xc_.f[a][i], gathered_f_[3 + a][q] = yc_.f[a][j];
      }
    }
    const auto& d = gathered_;
    const auto& f = gathered_f_;
    return {d[0].data(), d[1].data(), d[2].data(), d[3].data(), d[4].data(), d[5].data(),
            f[0].data(), f[1].data(), f[2].data(), f[3].data(), f[4].data(), f[5].data(), k};
  }
  // The pairs (i, i + offset) for i in [lo, hi), straight from the chains.
  PairColumns diagonal(std::ptrdiff_t lo, std::ptrdiff_t hi, std::ptrdiff_t offset) const {
    const auto i = std::size_t(lo), j = std::size_t(lo + offset);
    return {xc_.c[0].data() + i, xc_.c[1].data() + i, xc_.c[2].data() + i,
            yc_.c[0].data() + j, yc_.c[1].data() + j, yc_.c[2].data() + j,
            xc_.f[0].data() + i, xc_.f[1].data() + i, xc_.f[2].data() + i,
            yc_.f[0].data() + j, yc_.f[1].data() + j, yc_.f[2].data() + j, std::size_t(hi - lo)};
  }
  // Moments of every pair (i, i + offset), lo <= i < hi: sums over a run of
  // residues are differences of prefix sums, only the cross sums need a pass.
  Moments diagonal_moments(std::ptrdiff_t lo, std::ptrdiff_t hi, std::ptrdiff_t offset) const {
    Moments s;
    const auto &x0 = xc_.prefix[std::size_t(lo)], &x1 = xc_.prefix[std::size_t(hi)];
    const auto &y0 = yc_.prefix[std::size_t(lo + offset)], &y1 = yc_.prefix[std::size_t(hi + offset)];
    s.w = double(hi - lo);
    for (int a = 0; a < 3; ++a) {
      s.f[a] = x1[a] - x0[a];
      s.m[a] = y1[a] - y0[a];
    }
    s.ff = x1[3] - x0[3];
    s.mm = y1[3] - y0[3];
    cross_moments(diagonal(lo, hi, offset), s);
    return s;
  }

  // Every kSampleStride-th pair of the diagonal (single precision only).
  PairColumns sampled_diagonal(std::ptrdiff_t lo, std::ptrdiff_t hi, std::ptrdiff_t offset) const {
    const auto i = std::size_t(lo), j = std::size_t(lo + offset), k = kSampleStride;
    const auto &x = xc_.every_kth[i % k], &y = yc_.every_kth[j % k];
    return {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
            x[0].data() + i / k, x[1].data() + i / k, x[2].data() + i / k,
            y[0].data() + j / k, y[1].data() + j / k, y[2].data() + j / k, (std::size_t(hi - lo) + k - 1) / k};
  }
  double tm_under(const Transform& t, const PairColumns& p) {
    dist_.resize(p.size);
    return distances_and_tm(t, p, inv_d0r_sq_, dist_.data()) / double(n_);
  }

  Fit tm_fit(const std::vector<ResiduePair>& pairs);
  std::vector<Fit> seeds();
  void secondary_structure_seed(std::vector<Fit>& out);
  void threading_seeds(std::vector<Fit>& out);
  void fragment_seeds(std::vector<Fit>& out);

  struct Track {
    Fit fit;
    std::vector<ResiduePair> last;  // alignment of the previous iteration
    bool done = false;
  };
  void refine(Track& t);
  std::vector<ResiduePair> align_under(const Transform& t);
  void drop_duplicates(std::vector<Track>& tracks, double r) const;

  std::vector<Transform> window_fits(const Fit& f);
  double path_proxy(const Transform& t, const std::vector<ResiduePair>& pairs);

  // A transform between the centred chains as one between the input chains.
  Transform to_input_frame(Transform t) const {
    t.translation = t.translation + mean_x_ - Transform{t.rotation, {}}.apply(mean_y_);
    return t;
  }

  const Vec3 mean_x_, mean_y_;
  const PointList x_, y_;  // centred
  const Columns xc_, yc_;
  const AlignmentConfig& config_;
  std::size_t n_, m_;
  double d0r_, d0a_, ds_, inv_d0r_sq_;
  std::vector<float> moved_[3];
  PointList moved_points_;
  std::vector<double> gathered_[6];
  std::vector<float> gathered_f_[6], dist_, weight_;
  GapOpenWorkspace& dp_ = thread_gap_open_workspace();
};

Fit Search::tm_fit(const std::vector<ResiduePair>& pairs) {
  Fit best;
  best.pairs = pairs;
  const std::size_t k = pairs.size();
  if (k < 3) return best;
  const PairColumns p = gather(pairs);
  weight_.resize(k);
  // Selections tried so far, one bit per pair, words side by side.
  const std::size_t words = (k + 63) / 64;
  std::vector<std::uint64_t> tried, bits(words);
  HeldSelection held;
  auto seen = [&] {
    for (std::size_t at = 0; at < tried.size(); at += words)
      if (std::equal(bits.begin(), bits.end(), tried.begin() + std::ptrdiff_t(at))) return true;
    return false;
  };
  auto from = [&](Transform t) {
    for (int it = 0; it < 8; ++it) {
      const double tm = tm_under(t, p);
      if (tm > best.tm) {
        best.tm = tm;
        best.transform = t;
      }
      select(dist_.data(), k, ds_, weight_.data());
      to_bits(weight_.data(), k, bits);
      if (seen()) return;
      t = fit_moments(selection_moments(p, weight_.data(), bits, held));
      tried.insert(tried.end(), bits.begin(), bits.end());
    }
  };
  if (k < 4) from(fit_moments(moments(p, nullptr)));
  for (const std::size_t len : {k, k / 2, k / 4}) {
    if (len < 4) break;
    for (std::size_t s = 0; s + len <= k; s += len / 2) from(fit_moments(moments(p.range(s, len), nullptr)));
  }
  return best;
}

std::vector<ResiduePair> Search::align_under(const Transform& t) {
  for (int c = 0; c < 3; ++c) moved_[c].resize(m_);
  for (std::size_t j = 0; j < m_; ++j) {
    const Vec3 p = t.apply(y_[j]);
    moved_[0][j] = float(p.x);
    moved_[1][j] = float(p.y);
    moved_[2][j] = float(p.z);
  }
  const float inv = float(1.0 / (d0a_ * d0a_));
  return gap_open_align(
             n_, m_,
             [&](std::size_t i, float* row) {
               tm_term_row(xc_.f[0][i], xc_.f[1][i], xc_.f[2][i], moved_[0].data(), moved_[1].data(),
                           moved_[2].data(), m_, inv, row);
             },
             kRefineGapOpen, dp_)
      .pairs;
}

void Search::secondary_structure_seed(std::vector<Fit>& out) {
  const std::string a = ca_secondary_structure(x_), b = ca_secondary_structure(y_);
  // A row depends only on the reference residue's state: one row per state.
  const std::string states = "HEC";
  std::vector<float> rows(states.size() * m_);
  for (std::size_t s = 0; s < states.size(); ++s)
    for (std::size_t j = 0; j < m_; ++j) rows[s * m_ + j] = states[s] == b[j] ? 1.0f : 0.0f;
  GapOpenAlignment sa = gap_open_align(
      n_, m_,
      [&](std::size_t i, float* row) {
        std::copy_n(rows.data() + states.find(a[i]) * m_, m_, row);
      },
      kStringGapOpen, dp_);
  Fit f = tm_fit(sa.pairs);
  if (f.tm >= 0.0) out.push_back(std::move(f));
}

void Search::threading_seeds(std::vector<Fit>& out) {
  const std::size_t min_overlap = std::max<std::size_t>(5, std::min(n_, m_) / 2);
  const auto nn = std::ptrdiff_t(n_), mm = std::ptrdiff_t(m_);
  auto overlap = [&](std::ptrdiff_t offset) {
    const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, -offset), hi = std::min(nn, mm - offset);
    return diagonal(lo, std::max(lo, hi), offset);
  };
  struct Seed {
    std::ptrdiff_t offset;
    Fit fit;
    Moments all;  // of every pair
  };
  // Every offset's fit of all its pairs (T0), in increasing offset order.
  std::vector<Seed> seeds;
  for (std::ptrdiff_t offset = -(nn - 1); offset < mm; ++offset) {
    const PairColumns p = overlap(offset);
    if (p.size < min_overlap) continue;
    const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, -offset);
    Fit f;
    const Moments all = diagonal_moments(lo, lo + std::ptrdiff_t(p.size), offset);
    f.transform = fit_moments(all);
    // Ranked by the TM-score over every kSampleStride-th pair, scaled up.
    const PairColumns sample = sampled_diagonal(lo, lo + std::ptrdiff_t(p.size), offset);
    f.tm = tm_under(f.transform, sample) * double(p.size) / double(sample.size);
    seeds.push_back({offset, std::move(f), all});
  }
  // Refitting on the close pairs (T1, then T2) rarely lifts an offset from
  // far down the T0 ranking into the best three: only the leading offsets
  // are scored in full, refitted and ranked.
  std::vector<std::size_t> order(seeds.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return seeds[a].fit.tm > seeds[b].fit.tm; });
  if (order.size() > kRefittedOffsets) order.resize(kRefittedOffsets);
  std::vector<std::uint64_t> bits;
  for (const std::size_t k : order) {
    Fit& f = seeds[k].fit;
    const PairColumns p = overlap(seeds[k].offset);
    weight_.resize(p.size);
    Transform t = f.transform;
    f.tm = tm_under(t, p);
    HeldSelection held{run_bits(p.size, 0, p.size), seeds[k].all};
    for (int round = 1; round < 3; ++round) {
      select(dist_.data(), p.size, ds_, weight_.data());
      to_bits(weight_.data(), p.size, bits);
      // The same selection gives the same fit again: nothing more to find.
      if (bits == held.bits) break;
      t = fit_moments(selection_moments(p, weight_.data(), bits, held));
      const double tm = tm_under(t, p);
      if (tm > f.tm) {
        f.tm = tm;
        f.transform = t;
      }
    }
  }
  // The best three; equal scores keep the smaller offset first.
  std::sort(order.begin(), order.end());
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return seeds[a].fit.tm > seeds[b].fit.tm; });
  if (order.size() > kThreadingSeeds) order.resize(kThreadingSeeds);
  for (const std::size_t k : order) {
    Seed& s = seeds[k];
    const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, -s.offset), hi = std::min(nn, mm - s.offset);
    for (std::ptrdiff_t i = lo; i < hi; ++i) s.fit.pairs.emplace_back(std::size_t(i), std::size_t(i + s.offset));
    out.push_back(std::move(s.fit));
  }
}

void Search::fragment_seeds(std::vector<Fit>& out) {
  const std::size_t len = std::min<std::size_t>({12, n_, m_});
  if (len < 4) return;
  auto step_of = [len](std::size_t size) {
    return std::max<std::size_t>(1, (size - len + 38) / 39);
  };
  const std::size_t step_x = step_of(n_);
  std::size_t step_y = step_of(m_);
  while (std::gcd(step_x, step_y) != 1) ++step_y;

  // Internal distances of every fragment, for a cheap shape comparison;
  // the farthest apart in sequence first: they differ most between shapes
  // (neighbours are always 3.8 A apart), so failing pairs fail early.
  const std::size_t per = len * (len - 1) / 2;
  auto internal = [len](const PointList& p, std::size_t step) {
    std::vector<double> out;
    for (std::size_t a = 0; a + len <= p.size(); a += step)
      for (std::size_t apart = len - 1; apart >= 1; --apart)
        for (std::size_t i = 0; i + apart < len; ++i)
          out.push_back(std::sqrt(squared_distance(p[a + i], p[a + i + apart])));
    return out;
  };
  const std::vector<double> dx = internal(x_, step_x), dy = internal(y_, step_y);
  const double limit = kFragmentShape * kFragmentShape * double(per);
  std::vector<Fit> best;
  for (std::size_t fa = 0; fa * per < dx.size(); ++fa) {
    for (std::size_t fb = 0; fb * per < dy.size(); ++fb) {
      const double *u = dx.data() + fa * per, *v = dy.data() + fb * per;
      // Blocks of eight distances; most pairs that fail do so early.
      D2 lanes{};
      std::size_t k = 0;
      for (; k + 8 <= per && lanes[0] + lanes[1] <= limit; k += 8)
        for (std::size_t q = k; q < k + 8; q += 2) {
          const D2 d = Two{}(u + q) - Two{}(v + q);
          lanes += d * d;
        }
      double diff = lanes[0] + lanes[1];
      for (; k < per && diff <= limit; ++k) diff += (u[k] - v[k]) * (u[k] - v[k]);
      if (diff > limit) continue;
      const std::size_t a = fa * step_x, b = fb * step_y;
      const auto shift = std::ptrdiff_t(b) - std::ptrdiff_t(a);
      const Transform t = fit_moments(diagonal_moments(std::ptrdiff_t(a), std::ptrdiff_t(a + len), shift));
      const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, -shift),
                           hi = std::min(std::ptrdiff_t(n_), std::ptrdiff_t(m_) - shift);
      // Helices match helices at many shifts, so most fragment pairs pass
      // the shape test; a sample of the overlap tells the hopeless ones (far
      // below the second best) before all of it is scored.
      if (best.size() == kFragmentSeeds) {
        const PairColumns sample = sampled_diagonal(lo, hi, shift);
        const double estimate = tm_under(t, sample) * double(hi - lo) / double(sample.size);
        if (estimate < kSampleMargin * best.back().tm) continue;
      }
      Fit f;
      f.tm = tm_under(t, diagonal(lo, hi, shift));
      f.transform = t;
      auto at = std::find_if(best.begin(), best.end(), [&](const Fit& o) { return f.tm > o.tm; });
      if (best.size() < kFragmentSeeds || at != best.end()) {
        best.insert(at, std::move(f));
        if (best.size() > kFragmentSeeds) best.pop_back();
      }
    }
  }
  for (Fit& f : best) out.push_back(std::move(f));
}

std::vector<Fit> Search::seeds() {
  std::vector<Fit> out;
  secondary_structure_seed(out);
  threading_seeds(out);
  fragment_seeds(out);
  return out;
}

void Search::refine(Track& t) {
  std::vector<ResiduePair> pairs = align_under(t.fit.transform);
  if (pairs.size() < 3 || pairs == t.last) {
    t.done = true;
    return;
  }
  t.last = pairs;
  Fit next = tm_fit(pairs);
  if (next.tm <= t.fit.tm + kMinGain) {
    t.fit.pairs = std::move(pairs);  // the alignment under the kept fit
    t.done = true;
    return;
  }
  t.fit = std::move(next);
}

void Search::drop_duplicates(std::vector<Track>& tracks, double r) const {
  std::stable_sort(tracks.begin(), tracks.end(), [](const Track& a, const Track& b) { return a.fit.tm > b.fit.tm; });
  std::vector<Track> kept;
  for (Track& t : tracks) {
    const bool same = std::any_of(kept.begin(), kept.end(), [&](const Track& k) {
      return transform_difference(k.fit.transform, t.fit.transform, y_) < r;
    });
    if (!same) kept.push_back(std::move(t));
  }
  tracks = std::move(kept);
}

std::vector<Transform> Search::window_fits(const Fit& f) {
  std::vector<Transform> out{f.transform};
  const PairColumns p = gather(f.pairs);
  weight_.resize(p.size);
  std::vector<std::uint64_t> bits;
  std::vector<std::vector<std::uint64_t>> fitted;  // the pairs each kept fit was fitted to
  for (std::size_t w : {32u, 64u}) {
    if (w > p.size) continue;
    for (std::size_t s = 0; s + w <= p.size; s += w / 2) {
      HeldSelection held{run_bits(p.size, s, w), moments(p.range(s, w), nullptr)};
      Transform t = fit_moments(held.sums);
      for (int round = 0; round < 3; ++round) {
        dist_.resize(p.size);
        distances_and_tm(t, p, inv_d0r_sq_, dist_.data());
        if (within(dist_.data(), p.size, 1.5, weight_.data()) < 4) break;
        to_bits(weight_.data(), p.size, bits);
        if (bits == held.bits) break;  // the same fit again
        t = fit_moments(selection_moments(p, weight_.data(), bits, held));
      }
      // Windows often end on the same pairs: their fits are one start.
      if (std::find(fitted.begin(), fitted.end(), held.bits) != fitted.end()) continue;
      fitted.push_back(held.bits);
      out.push_back(t);
    }
  }
  return out;
}

// The best running score of the aligner's local path along `pairs` under t:
// consecutive pairs are joined by diagonal fillers and gap steps, each pair
// scores the aligner's normalised similarity, each gap step costs its penalty.
double Search::path_proxy(const Transform& t, const std::vector<ResiduePair>& pairs) {
  if (pairs.empty()) return 0.0;
  const double dist_den = -2.0 * config_.e1 * config_.e1, conf_den = -2.0 * config_.e2 * config_.e2;
  moved_points_.resize(m_);
  for (std::size_t j = 0; j < m_; ++j) moved_points_[j] = t.apply(y_[j]);
  const PointList& moved = moved_points_;
  auto value = [&](std::size_t i, std::size_t j) {
    const Vec3 yj = moved[j];
    const double d = squared_distance(x_[i], yj);
    double c = 0.0;
    if (i > 0 && j > 0) c += squared_distance(x_[i - 1] - x_[i], moved[j - 1] - yj);
    if (i + 1 < n_ && j + 1 < m_) c += squared_distance(x_[i + 1] - x_[i], moved[j + 1] - yj);
    return (std::exp(d / dist_den + c / conf_den) - config_.norm_mean) / config_.norm_sd;
  };
  double h = 0.0, best = 0.0;
  auto step = [&](std::size_t i, std::size_t j, std::size_t gaps) {
    h = std::max(0.0, std::max(0.0, h - config_.gap_penalty * double(gaps)) + value(i, j));
    best = std::max(best, h);
  };
  step(pairs[0].first, pairs[0].second, 0);
  for (std::size_t k = 1; k < pairs.size(); ++k) {
    const auto [i0, j0] = pairs[k - 1];
    const auto [i1, j1] = pairs[k];
    const std::size_t di = i1 - i0 - 1, dj = j1 - j0 - 1, fill = std::min(di, dj);
    for (std::size_t f = 1; f <= fill; ++f) step(i0 + f, j0 + f, 0);
    step(i1, j1, std::max(di, dj) - fill);
  }
  return best;
}

StartSearch Search::run() {
  StartSearch out;
  std::vector<Track> tracks;
  for (Fit& f : seeds()) tracks.push_back({std::move(f), {}, false});
  if (tracks.empty()) return out;
  // Seeds the same at kSameFit mostly refine to the same fit, which would be
  // dropped below: only the best of them is refined.
  drop_duplicates(tracks, kSameFit);
  for (Track& t : tracks)
    for (int k = 0; k < kFirstIterations && !t.done; ++k) refine(t);
  drop_duplicates(tracks, kSameFit);
  if (tracks.size() > kRefined) tracks.resize(kRefined);
  for (Track& t : tracks)
    for (int k = 0; k < kMoreIterations && !t.done; ++k) refine(t);
  drop_duplicates(tracks, kSameFit);
  out.best = tracks.front().fit;
  out.best.transform = to_input_frame(out.best.transform);

  struct Candidate {
    Transform transform;
    double proxy;
  };
  std::vector<Candidate> pool;
  for (const Track& t : tracks)
    for (const Transform& w : window_fits(t.fit)) pool.push_back({w, path_proxy(w, t.fit.pairs)});
  std::stable_sort(pool.begin(), pool.end(), [](const Candidate& a, const Candidate& b) { return a.proxy > b.proxy; });
  std::vector<Transform> kept;
  for (const Candidate& c : pool) {
    if (kept.size() == kStarts) break;
    const bool same = std::any_of(kept.begin(), kept.end(), [&](const Transform& s) {
      return transform_difference(s, c.transform, y_) < kSameStart;
    });
    if (!same) {
      kept.push_back(c.transform);
      out.starts.push_back(to_input_frame(c.transform));
      out.proxies.push_back(c.proxy);
    }
  }
  return out;
}

}  // namespace

double transform_difference(const Transform& a, const Transform& b, const PointList& mobile) {
  if (mobile.empty()) return 0.0;
  double sum = 0.0;
  for (const Vec3& p : mobile) sum += squared_distance(a.apply(p), b.apply(p));
  return std::sqrt(sum / double(mobile.size()));
}

StartSearch search_starts(const PointList& fixed, const PointList& mobile, const AlignmentConfig& config) {
  if (fixed.size() < 3 || mobile.size() < 3) return {};
  return Search(fixed, mobile, config).run();
}

}  // namespace pelda
