#include "pelda/search/gap_open_dp.hpp"

#include <algorithm>
#include <cmath>

namespace pelda {
namespace {

constexpr std::uint8_t kHFromF = 1, kGFromE = 2, kEExtends = 4;

enum class State { H, G, E };

std::vector<ResiduePair> trace(std::size_t i, std::size_t j, std::size_t m, const GapOpenWorkspace& ws) {
  std::vector<ResiduePair> pairs;
  State state = State::H;
  while (i > 0 && j > 0) {
    const std::size_t cell = (i - 1) * m + (j - 1);
    const std::uint8_t mv = ws.moves[cell];
    if (state == State::H) {
      if (mv & kHFromF) j = std::size_t(ws.gap_source[cell]);
      state = State::G;
    } else if (state == State::G) {
      if (mv & kGFromE) {
        state = State::E;
      } else {
        pairs.emplace_back(i - 1, j - 1);
        --i;
        --j;
        state = State::H;
      }
    } else {
      state = (mv & kEExtends) ? State::E : State::H;
      --i;
    }
  }
  std::reverse(pairs.begin(), pairs.end());
  return pairs;
}

}  // namespace

GapOpenAlignment gap_open_align(std::size_t n, std::size_t m, const ScoreRow& scores, double g,
                                GapOpenWorkspace& ws) {
  if (n == 0 || m == 0) return {};
  ws.h_prev.assign(m + 1, 0.0);
  ws.h_cur.assign(m + 1, 0.0);
  ws.e_prev.assign(m + 1, -INFINITY);
  ws.e_cur.assign(m + 1, -INFINITY);
  ws.row.resize(m);
  ws.last_column.resize(n);
  ws.moves.resize(n * m);
  ws.gap_source.resize(n * m);
  for (std::size_t i = 1; i <= n; ++i) {
    scores(i - 1, ws.row.data());
    const double* s = ws.row.data();
    std::uint8_t* mv = ws.moves.data() + (i - 1) * m;
    std::int32_t* src = ws.gap_source.data() + (i - 1) * m;
    double best_g = 0.0;  // G(i, 0) = H(i, 0) = 0
    std::int32_t best_k = 0;
    const double* hp = ws.h_prev.data();
    const double* ep = ws.e_prev.data();
    double* hc = ws.h_cur.data();
    double* ec = ws.e_cur.data();
    // Branch-free: the choices are unpredictable, selects are cheaper.
    for (std::size_t j = 1; j <= m; ++j) {
      const double d = hp[j - 1] + s[j - 1];
      const double open = hp[j] - g, extend = ep[j];
      const bool extends = extend > open;
      const double e = extends ? extend : open;
      const bool from_e = e > d;
      const double gv = from_e ? e : d;
      const double f = best_g - g;
      const bool from_f = f > gv;
      src[j - 1] = best_k;
      mv[j - 1] = std::uint8_t((from_f ? kHFromF : 0) | (from_e ? kGFromE : 0) | (extends ? kEExtends : 0));
      hc[j] = from_f ? f : gv;
      ec[j] = e;
      const bool nearer = gv >= best_g;
      best_g = nearer ? gv : best_g;
      best_k = nearer ? std::int32_t(j) : best_k;
    }
    ws.last_column[i - 1] = ws.h_cur[m];
    std::swap(ws.h_prev, ws.h_cur);
    std::swap(ws.e_prev, ws.e_cur);
  }
  // h_prev now holds the last row.
  std::size_t end_i = n, end_j = 1;
  for (std::size_t j = 2; j <= m; ++j)
    if (ws.h_prev[j] > ws.h_prev[end_j]) end_j = j;
  std::size_t col_i = 1;
  for (std::size_t i = 2; i <= n; ++i)
    if (ws.last_column[i - 1] > ws.last_column[col_i - 1]) col_i = i;
  double score = ws.h_prev[end_j];
  if (ws.last_column[col_i - 1] > score) {
    score = ws.last_column[col_i - 1];
    end_i = col_i;
    end_j = m;
  }
  return {trace(end_i, end_j, m, ws), score};
}

GapOpenAlignment gap_open_align(const std::vector<double>& matrix, std::size_t n, std::size_t m, double gap_open) {
  GapOpenWorkspace ws;
  return gap_open_align(
      n, m, [&](std::size_t i, double* out) { std::copy_n(matrix.begin() + std::ptrdiff_t(i * m), m, out); },
      gap_open, ws);
}

}  // namespace pelda
