#include "pelda/search/gap_open_dp.hpp"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define PELDA_ROW_AVX2 1
#endif

namespace pelda {
namespace {

// Four floats and the few operations the row passes need. max(a, b) is
// "a > b ? a : b" and mask_gt gives one bit per lane (lane 0 lowest).
#if defined(__SSE2__)
using F4 = __m128;
inline F4 load(const float* p) { return _mm_loadu_ps(p); }
inline void store(float* p, F4 v) { _mm_storeu_ps(p, v); }
inline F4 splat(float x) { return _mm_set1_ps(x); }
inline F4 add(F4 a, F4 b) { return _mm_add_ps(a, b); }
inline F4 sub(F4 a, F4 b) { return _mm_sub_ps(a, b); }
inline F4 max(F4 a, F4 b) { return _mm_max_ps(a, b); }
inline unsigned mask_gt(F4 a, F4 b) { return unsigned(_mm_movemask_ps(_mm_cmpgt_ps(a, b))); }
// Lanes move one or two places up; zeros come in at the bottom.
inline F4 up1(F4 v) { return _mm_castsi128_ps(_mm_slli_si128(_mm_castps_si128(v), 4)); }
inline F4 up2(F4 v) { return _mm_castsi128_ps(_mm_slli_si128(_mm_castps_si128(v), 8)); }
inline F4 top(F4 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 3, 3, 3)); }
#else
struct F4 {
  float v[4];
};
inline F4 load(const float* p) { return {{p[0], p[1], p[2], p[3]}}; }
inline void store(float* p, F4 a) { std::copy_n(a.v, 4, p); }
inline F4 splat(float x) { return {{x, x, x, x}}; }
template <class Op>
inline F4 lanes(F4 a, F4 b, Op op) {
  return {{op(a.v[0], b.v[0]), op(a.v[1], b.v[1]), op(a.v[2], b.v[2]), op(a.v[3], b.v[3])}};
}
inline F4 add(F4 a, F4 b) { return lanes(a, b, [](float x, float y) { return x + y; }); }
inline F4 sub(F4 a, F4 b) { return lanes(a, b, [](float x, float y) { return x - y; }); }
inline F4 max(F4 a, F4 b) { return lanes(a, b, [](float x, float y) { return x > y ? x : y; }); }
inline unsigned mask_gt(F4 a, F4 b) {
  unsigned m = 0;
  for (int l = 0; l < 4; ++l) m |= unsigned(a.v[l] > b.v[l]) << l;
  return m;
}
inline F4 up1(F4 a) { return {{0.0f, a.v[0], a.v[1], a.v[2]}}; }
inline F4 up2(F4 a) { return {{0.0f, 0.0f, a.v[0], a.v[1]}}; }
inline F4 top(F4 a) { return splat(a.v[3]); }
#endif

// A row is filled `width` (4 or 8) columns at a time; each group of columns
// has one word in `moves` holding, per column, whether H came from F, G
// from E and E extends: bit plane * width + column in the group.
enum Plane { kFromF = 0, kFromE = 1, kExtends = 2 };

std::size_t padded(std::size_t m, std::size_t width) { return (m + width - 1) / width * width; }

// One row of the recurrence: hp and e hold row i-1 at [1, m] (hp[0] = 0);
// hc receives H of row i, e becomes row i's E, g_row receives G(i, 1..m); s
// is row i's scores.
void fill_row(const float* s, float gap, std::size_t mp, const float* hp, float* hc, float* e, float* g_row,
              std::uint32_t* moves) {
  const F4 gv = splat(gap);
  // F is the running maximum of G along the row (G(i, 0) = 0 is part of it,
  // so zeros shifted into a vector never change it).
  F4 carry = splat(0.0f);
  for (std::size_t j0 = 0; j0 < mp; j0 += 4) {
    const F4 d = add(load(hp + j0), load(s + j0));
    const F4 open = sub(load(hp + j0 + 1), gv), extend = load(e + j0 + 1);
    const F4 ev = max(extend, open);
    const F4 gcell = max(ev, d);
    store(e + j0 + 1, ev);
    store(g_row + j0, gcell);
    F4 prefix = max(gcell, up1(gcell));
    prefix = max(prefix, up2(prefix));
    const F4 f = sub(max(up1(prefix), carry), gv);
    store(hc + j0 + 1, max(f, gcell));
    moves[j0 / 4] = (mask_gt(extend, open) << 4 * kExtends) | (mask_gt(ev, d) << 4 * kFromE) | mask_gt(f, gcell);
    carry = max(top(prefix), carry);
  }
}

#ifdef PELDA_ROW_AVX2
#define PELDA_AVX2 __attribute__((target("avx2")))
PELDA_AVX2 inline std::uint32_t gt8(__m256 a, __m256 b) {
  return std::uint32_t(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_GT_OQ)));
}
// Lanes move `by` places up; zeros come in at the bottom.
PELDA_AVX2 inline __m256 up8(__m256 v, __m256i by, int zeros) {
  const __m256 moved = _mm256_permutevar8x32_ps(v, by);
  return zeros == 1 ? _mm256_blend_ps(moved, _mm256_setzero_ps(), 0x01)
                    : _mm256_blend_ps(moved, _mm256_setzero_ps(), 0x03);
}

// The same eight columns at a time. Every cell sees the same operations in
// single precision, so the result is the same bit for bit.
PELDA_AVX2 void fill_row_avx2(const float* s, float gap, std::size_t mp, const float* hp, float* hc, float* e,
                              float* g_row, std::uint32_t* moves) {
  const __m256 gv = _mm256_set1_ps(gap);
  const __m256i by1 = _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6), by2 = _mm256_setr_epi32(0, 0, 0, 1, 2, 3, 4, 5),
                last = _mm256_set1_epi32(7);
  __m256 carry = _mm256_setzero_ps();
  for (std::size_t j0 = 0; j0 < mp; j0 += 8) {
    const __m256 d = _mm256_add_ps(_mm256_loadu_ps(hp + j0), _mm256_loadu_ps(s + j0));
    const __m256 open = _mm256_sub_ps(_mm256_loadu_ps(hp + j0 + 1), gv), extend = _mm256_loadu_ps(e + j0 + 1);
    const __m256 ev = _mm256_max_ps(extend, open);
    const __m256 gcell = _mm256_max_ps(ev, d);
    _mm256_storeu_ps(e + j0 + 1, ev);
    _mm256_storeu_ps(g_row + j0, gcell);
    __m256 prefix = _mm256_max_ps(gcell, up8(gcell, by1, 1));
    prefix = _mm256_max_ps(prefix, up8(prefix, by2, 2));
    prefix = _mm256_max_ps(prefix, _mm256_permute2f128_ps(prefix, prefix, 0x08));  // up by four
    const __m256 f = _mm256_sub_ps(_mm256_max_ps(up8(prefix, by1, 1), carry), gv);
    _mm256_storeu_ps(hc + j0 + 1, _mm256_max_ps(f, gcell));
    moves[j0 / 8] = (gt8(extend, open) << 8 * kExtends) | (gt8(ev, d) << 8 * kFromE) | gt8(f, gcell);
    carry = _mm256_max_ps(_mm256_permutevar8x32_ps(prefix, last), carry);
  }
}

PELDA_AVX2 void tm_term_row_avx2(float px, float py, float pz, const float* qx, const float* qy, const float* qz,
                                 std::size_t m, float inv_d0_sq, float* out) {
  const __m256 x = _mm256_set1_ps(px), y = _mm256_set1_ps(py), z = _mm256_set1_ps(pz);
  const __m256 inv = _mm256_set1_ps(inv_d0_sq), one = _mm256_set1_ps(1.0f);
  std::size_t j = 0;
  for (; j + 8 <= m; j += 8) {
    const __m256 dx = _mm256_sub_ps(x, _mm256_loadu_ps(qx + j)), dy = _mm256_sub_ps(y, _mm256_loadu_ps(qy + j)),
                 dz = _mm256_sub_ps(z, _mm256_loadu_ps(qz + j));
    const __m256 d2 =
        _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(dx, dx), _mm256_mul_ps(dy, dy)), _mm256_mul_ps(dz, dz));
    _mm256_storeu_ps(out + j, _mm256_div_ps(one, _mm256_add_ps(one, _mm256_mul_ps(d2, inv))));
  }
  for (; j < m; ++j) {
    const float dx = px - qx[j], dy = py - qy[j], dz = pz - qz[j];
    out[j] = 1.0f / (1.0f + (dx * dx + dy * dy + dz * dz) * inv_d0_sq);
  }
}

std::size_t row_width() {
  static const std::size_t width = __builtin_cpu_supports("avx2") ? 8 : 4;
  return width;
}
#else
std::size_t row_width() { return 4; }
#endif

// Column k < j of row i (1-based) a row gap into (i, j) leaves from: the
// nearest one holding the maximum of G(i, 0..j-1), where G(i, 0) = 0.
std::size_t gap_source(const float* g_row, std::size_t j) {
  float best = -INFINITY;
  std::size_t at = 0;
  for (std::size_t k = j - 1; k >= 1; --k)
    if (g_row[k - 1] > best) {
      best = g_row[k - 1];
      at = k;
    }
  return 0.0f > best ? 0 : at;
}

enum class State { H, G, E };

std::vector<ResiduePair> trace(std::size_t i, std::size_t j, std::size_t mp, std::size_t width,
                               const GapOpenWorkspace& ws) {
  std::vector<ResiduePair> pairs;
  State state = State::H;
  auto bit = [&](Plane plane) {
    const std::size_t c = j - 1;
    return (ws.moves[(i - 1) * (mp / width) + c / width] >> (std::size_t(plane) * width + c % width)) & 1u;
  };
  while (i > 0 && j > 0) {
    if (state == State::H) {
      if (bit(kFromF)) j = gap_source(ws.g.data() + (i - 1) * mp, j);
      state = State::G;
    } else if (state == State::G) {
      if (bit(kFromE)) {
        state = State::E;
      } else {
        pairs.emplace_back(i - 1, j - 1);
        --i;
        --j;
        state = State::H;
      }
    } else {
      state = bit(kExtends) ? State::E : State::H;
      --i;
    }
  }
  std::reverse(pairs.begin(), pairs.end());
  return pairs;
}

}  // namespace

GapOpenAlignment gap_open_align(std::size_t n, std::size_t m, const ScoreRow& scores, double gap_open,
                                GapOpenWorkspace& ws) {
  if (n == 0 || m == 0) return {};
  const std::size_t width = ws.row_width == 4 ? 4 : row_width(), mp = padded(m, width);
  ws.h.assign(mp + 1, 0.0f);
  ws.h_next.assign(mp + 1, 0.0f);
  ws.e.assign(mp + 1, -INFINITY);
  ws.row.assign(mp, 0.0f);  // the padding columns score 0
  ws.last_column.resize(n);
  ws.g.resize(n * mp);
  ws.moves.resize(n * (mp / width));
  const float gap = float(gap_open);
  for (std::size_t i = 0; i < n; ++i) {
    scores(i, ws.row.data());
    float* g_row = ws.g.data() + i * mp;
    std::uint32_t* moves = ws.moves.data() + i * (mp / width);
#ifdef PELDA_ROW_AVX2
    if (width == 8)
      fill_row_avx2(ws.row.data(), gap, mp, ws.h.data(), ws.h_next.data(), ws.e.data(), g_row, moves);
    else
#endif
      fill_row(ws.row.data(), gap, mp, ws.h.data(), ws.h_next.data(), ws.e.data(), g_row, moves);
    std::swap(ws.h, ws.h_next);
    ws.last_column[i] = ws.h[m];
  }
  // h now holds the last row.
  std::size_t end_i = n, end_j = 1;
  for (std::size_t j = 2; j <= m; ++j)
    if (ws.h[j] > ws.h[end_j]) end_j = j;
  std::size_t col_i = 1;
  for (std::size_t i = 2; i <= n; ++i)
    if (ws.last_column[i - 1] > ws.last_column[col_i - 1]) col_i = i;
  float score = ws.h[end_j];
  if (ws.last_column[col_i - 1] > score) {
    score = ws.last_column[col_i - 1];
    end_i = col_i;
    end_j = m;
  }
  return {trace(end_i, end_j, mp, width, ws), double(score)};
}

void tm_term_row(float px, float py, float pz, const float* qx, const float* qy, const float* qz, std::size_t m,
                 float inv_d0_sq, float* out) {
#ifdef PELDA_ROW_AVX2
  if (row_width() == 8) return tm_term_row_avx2(px, py, pz, qx, qy, qz, m, inv_d0_sq, out);
#endif
  for (std::size_t j = 0; j < m; ++j) {
    const float dx = px - qx[j], dy = py - qy[j], dz = pz - qz[j];
    out[j] = 1.0f / (1.0f + (dx * dx + dy * dy + dz * dz) * inv_d0_sq);
  }
}

GapOpenAlignment gap_open_align(const std::vector<double>& matrix, std::size_t n, std::size_t m, double gap_open,
                                std::size_t row_width) {
  GapOpenWorkspace ws;
  ws.row_width = row_width;
  return gap_open_align(
      n, m,
      [&](std::size_t i, float* out) {
        for (std::size_t j = 0; j < m; ++j) out[j] = float(matrix[i * m + j]);
      },
      gap_open, ws);
}

}  // namespace pelda
