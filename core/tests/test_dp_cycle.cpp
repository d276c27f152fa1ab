#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "pelda/alignment/dp_cycle.hpp"
#include "traces.hpp"

using namespace pelda;
using pelda::fixtures::helix;

namespace {

// A score matrix from 1-based cells; every other cell gets `fill`.
ScoreMatrix scores(std::size_t n, std::size_t m, std::int32_t fill,
                   std::initializer_list<std::tuple<std::size_t, std::size_t, std::int32_t>> cells) {
  ScoreMatrix s;
  s.reset(n, m);
  for (std::size_t c = 1; c <= m; ++c)
    for (std::size_t r = 1; r <= n; ++r) s.set(r, c, fill);
  for (auto [r, c, v] : cells) s.set(r, c, v);
  return s;
}

// Fragment threshold 300 and gap 1000 unless changed.
AlignmentConfig small_config(double gap = 1.0, double cutoff = 0.1) {
  AlignmentConfig cfg;
  cfg.gap_penalty = gap;
  cfg.cutoff_dist = cutoff;
  return cfg;
}

// A literal rendering of the cycle's dynamic programming on full matrices,
// with fragment lists kept entry by entry and a stable sort, to check the
// two-column version against.
struct Reference {
  struct Path {
    std::size_t sr = 0, sc = 0, er = 0, ec = 0;
    std::int64_t max = 0;
  };
  std::vector<std::vector<std::int64_t>> h;
  std::vector<std::vector<Path>> path;
  std::vector<std::vector<std::uint8_t>> dir;
  std::vector<std::vector<Path>> lists;
  std::int64_t best = 0;
  bool found = false;
  std::vector<ResiduePair> pairs;  // 0-based, increasing
  std::size_t g1 = 0, g2 = 0;
  Path fragment;

  Reference(const ScoreMatrix& s, std::int64_t gap, std::int64_t threshold) {
    const std::size_t n = s.rows, m = s.cols;
    h.assign(n + 2, std::vector<std::int64_t>(m + 2, 0));
    path.assign(n + 2, std::vector<Path>(m + 2));
    dir.assign(n + 2, std::vector<std::uint8_t>(m + 2, 0));
    lists.assign(n + 2, {});
    const double w = 100.0 + std::fabs(double(std::int64_t(n) - std::int64_t(m)) - 4.0);
    const double t = double(n + 2), u = double(m + 2);
    const double hw = ((w / std::sqrt(2.0)) * (t / u + u / t)) / std::sqrt(t * t + u * u);
    auto offer = [&](const Path& p) {
      if (p.max < threshold || p.sr == p.er || p.sc == p.ec) return;
      auto& list = lists[p.sr];
      for (Path& e : list)
        if (e.sc == p.sc) {
          if (p.max > e.max) {
            e = p;
            return;
          }
          break;
        }
      list.push_back(p);
    };
    for (std::size_t c = 1; c <= m; ++c)
      for (std::size_t r = 1; r <= n; ++r) {
        if (!(std::fabs(double(r) / t - double(c) / u) <= hw)) continue;
        const std::int64_t diag = h[r - 1][c - 1] + s.at(r, c), left = h[r][c - 1] - gap, up = h[r - 1][c] - gap;
        const std::int64_t x = std::max({diag, left, up}), v = x >= 1 ? x : 0;
        h[r][c] = v;
        dir[r][c] = std::uint8_t((v == diag) | (v == left) << 1 | (v == up) << 2);
        best = std::max(best, v);
        Path p;
        if (v > 0) {
          if (v == diag) {
            p = h[r - 1][c - 1] == 0 ? Path{r, c, r, c, v} : path[r - 1][c - 1];
          } else {
            p = v == left ? path[r][c - 1] : path[r - 1][c];
          }
          const bool up_step = v != diag && v != left;
          if (up_step ? v > p.max : v >= p.max) p.er = r, p.ec = c, p.max = v;
        }
        path[r][c] = p;
        if (r == n || c == m) {
          if (v > 0) offer(p);
        } else if (v == 0 && h[r - 1][c - 1] > 0) {
          offer(path[r - 1][c - 1]);
        }
      }
    std::vector<Path> all;
    for (const auto& list : lists) all.insert(all.end(), list.begin(), list.end());
    std::stable_sort(all.begin(), all.end(), [](const Path& a, const Path& b) { return a.max > b.max; });
    if (all.empty()) return;
    found = true;
    fragment = all.front();
    std::size_t r = fragment.er, c = fragment.ec;
    while (r >= fragment.sr && c >= fragment.sc && !(r == 0 && c == 0)) {
      if (dir[r][c] & 1) pairs.emplace_back(r-- - 1, c-- - 1);
      else if (dir[r][c] & 2) ++g1, --c;
      else if (dir[r][c] & 4) ++g2, --r;
      else break;
    }
    std::reverse(pairs.begin(), pairs.end());
  }
};

}  // namespace

TEST(DpCycle, TiesSetSeveralDirectionBitsAndDiagonalWins) {
  const ScoreMatrix s = scores(2, 2, 0, {{1, 1, 3000}, {1, 2, 2000}, {2, 1, 2000}, {2, 2, -2000}});
  DpWorkspace ws;
  const CycleResult r = dp_cycle(helix(2), helix(2), s, small_config(), ws);
  EXPECT_EQ(ws.direction(1, 1), kFromDiagonal);
  EXPECT_EQ(ws.direction(2, 1), kFromDiagonal | kFromAbove);  // 0 + 2000 = 3000 - 1000
  EXPECT_EQ(ws.direction(1, 2), kFromDiagonal | kFromLeft);
  EXPECT_EQ(ws.direction(2, 2), kFromDiagonal | kFromLeft | kFromAbove);  // all 1000
  // Every path ends in the row or column it started in: no fragment.
  EXPECT_TRUE(r.core_pairs.empty());
  EXPECT_TRUE(r.residue_similarity.empty());
  EXPECT_EQ(r.rmsd, 100.0);
  EXPECT_EQ(r.score, 0.0);
  EXPECT_EQ(r.path_length, 0u);
}

TEST(DpCycle, EqualFragmentsGoToTheLowerStartRowThenTheEarlierEntry) {
  DpWorkspace ws;
  // Two 4000 paths: (3,1)-(4,2) is found first, (1,3)-(2,4) starts higher up.
  const ScoreMatrix a = scores(4, 4, -5000, {{1, 3, 2000}, {2, 4, 2000}, {3, 1, 2000}, {4, 2, 2000}});
  CycleResult r = dp_cycle(helix(4), helix(4), a, small_config(5.0), ws);
  EXPECT_EQ(r.core_pairs, (std::vector<ResiduePair>{{0, 2}, {1, 3}}));
  EXPECT_EQ(r.first_range, ResiduePair(0, 1));
  EXPECT_EQ(r.second_range, ResiduePair(2, 3));
  EXPECT_EQ(r.path_length, 2u);
  EXPECT_EQ(r.score, 4.0 / 2 * (2.0 / 4) * (2.0 / 4));
  // Two core pairs score but are not fitted.
  EXPECT_EQ(r.rmsd, 100.0);
  EXPECT_EQ(r.transform.rotation, identity3());

  // Same start row: the earlier fragment wins.
  const ScoreMatrix b = scores(2, 4, -5000, {{1, 1, 2000}, {2, 2, 2000}, {1, 3, 2000}, {2, 4, 2000}});
  r = dp_cycle(helix(2), helix(4), b, small_config(5.0), ws);
  EXPECT_EQ(r.core_pairs, (std::vector<ResiduePair>{{0, 0}, {1, 1}}));
}

TEST(DpCycle, TracebackCountsGapsIntoLengthAndScore) {
  const ScoreMatrix s = scores(3, 4, -5000, {{1, 1, 5000}, {2, 2, 5000}, {3, 4, 5000}});
  DpWorkspace ws;
  const CycleResult r = dp_cycle(helix(3), helix(4), s, small_config(), ws);
  EXPECT_EQ(ws.direction(2, 3), kFromLeft);
  EXPECT_EQ(ws.direction(3, 3), kFromLeft | kFromAbove);
  EXPECT_EQ(r.core_pairs, (std::vector<ResiduePair>{{0, 0}, {1, 1}, {2, 3}}));
  EXPECT_EQ(r.path_length, 4u);  // three pairs and one step along the second structure
  EXPECT_EQ(r.score, 14.0 / 4 * (3.0 / 3) * (4.0 / 4));
  EXPECT_EQ(r.residue_similarity, (std::vector<double>{5.0, 5.0, 5.0, -1.0}));
  EXPECT_EQ(r.first_range, ResiduePair(0, 2));
  EXPECT_EQ(r.second_range, ResiduePair(0, 3));
  EXPECT_LT(r.rmsd, 100.0);  // three core pairs are fitted
}

// Every column loop: the vector one where the processor has it, the
// portable one, and the general one with wide path records. A third of the matrices carry a strong diagonal ridge, as
// aligned structures do: long runs of steps down below it, of left steps
// beside it.
enum class Loop { vector, portable, wide };
class DpColumns : public testing::TestWithParam<Loop> {};

// The cycle with the given column loop against the literal recurrence:
// every direction byte and the result. Returns whether a fragment was found.
bool matches_reference(const ScoreMatrix& s, const AlignmentConfig& cfg, Loop loop, int trial) {
  const std::size_t n = s.rows, m = s.cols;
  const Reference ref(s, std::llround(cfg.gap_penalty * 1000), std::llround(3000 * cfg.cutoff_dist));
  DpWorkspace ws;
  ws.vector_columns = loop == Loop::vector;
  ws.narrow_records = loop != Loop::wide;
  const CycleResult r = dp_cycle(helix(n), helix(m, 0.3), s, cfg, ws);
  for (std::size_t c = 0; c <= m + 1; ++c)
    for (std::size_t row = 0; row <= n + 1; ++row)
      if (ws.direction(row, c) != ref.dir[row][c]) {
        ADD_FAILURE() << trial << " " << row << " " << c;
        return false;
      }
  EXPECT_EQ(r.path_length > 0, ref.found) << trial;
  if (!ref.found) return false;
  std::vector<ResiduePair> core;
  std::vector<double> sim(std::max({ref.pairs.size() + ref.g1 + ref.g2, n, m}), -1.0);
  for (auto [i, j] : ref.pairs) {
    sim[i] = s.at(i + 1, j + 1) / 1000.0;
    if (s.at(i + 1, j + 1) >= 300) core.emplace_back(i, j);
  }
  const std::size_t len = ref.pairs.size() + ref.g1 + ref.g2;
  EXPECT_EQ(r.path_length, len) << trial;
  EXPECT_EQ(r.core_pairs, core) << trial;
  EXPECT_EQ(r.residue_similarity, sim) << trial;
  // A path entered by a gap from nothing starts at (0, 0) (negative gaps).
  EXPECT_EQ(r.first_range.first, std::max<std::size_t>(ref.fragment.sr, 1) - 1) << trial;
  EXPECT_EQ(r.second_range.first, std::max<std::size_t>(ref.fragment.sc, 1) - 1) << trial;
  const double expected = (double(ref.best) / 1000.0) / double(len) * (double(len - ref.g1) / double(n)) *
                          (double(len - ref.g2) / double(m));
  EXPECT_EQ(r.score, expected) << trial;
  return true;
}

TEST_P(DpColumns, MatchTheLiteralRecurrenceOnRandomMatrices) {
  std::mt19937 rng(11);
  const std::int32_t alphabet[] = {-1500, -500, 0, 0, 500, 1000, 1250};
  const double gaps[] = {0.0, 0.5, 1.0, -0.2};
  const double cutoffs[] = {0.1, 0.5, 1.0};
  const std::pair<std::size_t, std::size_t> big[] = {{150, 20}, {20, 150}, {160, 170}};
  int with_fragment = 0;
  for (int trial = 0; trial < 400; ++trial) {
    std::size_t n = 1 + rng() % 12, m = 1 + rng() % 12;
    if (trial % 40 == 0) std::tie(n, m) = big[(trial / 40) % 3];
    ScoreMatrix s;
    s.reset(n, m);
    const bool ridge = trial % 3 == 0 || trial % 20 == 0;
    const unsigned letters = trial % 80 == 40 ? 3 : 7;  // some large ones only zero or worse beside the ridge
    for (std::size_t c = 1; c <= m; ++c)
      for (std::size_t r = 1; r <= n; ++r)
        s.set(r, c, ridge && r * m / n == c ? 5000 : alphabet[rng() % letters]);
    const AlignmentConfig cfg = small_config(gaps[rng() % 4], cutoffs[rng() % 3]);
    with_fragment += matches_reference(s, cfg, GetParam(), trial);
    if (HasFatalFailure() || HasNonfatalFailure()) return;
  }
  EXPECT_GT(with_fragment, 100);
}

// Where the band ends above the last row, a column may end in rows that stay
// 0 right below a value of the column two before (the array the column
// overwrites): a small isolated score there, and a diagonal one after it
// that would pass a value left behind on. Without them, every row is 0.
TEST_P(DpColumns, ColumnsEndingInZerosLeaveNothingOfTwoColumnsBefore) {
  const std::size_t n = 300, m = 300;
  ScoreMatrix s = scores(n, m, -1000, {});
  DpWorkspace band;
  dp_cycle(helix(n), helix(m), s, small_config(), band);
  for (const double gap : {1.0, 0.0}) matches_reference(s, small_config(gap), GetParam(), 0);
  int placed = 0;
  for (std::size_t c = 1; c + 3 <= m; c += 10) {
    const Span here = band.band[c - 1], later = band.band[c + 1];  // columns c and c + 2
    const std::size_t r = here.hi - 1, tail = (later.hi - later.lo) % 8;
    if (later.hi > n || r + tail < later.hi) continue;  // row r among the last rows of column c + 2
    s.set(r, c, 500);
    s.set(r + 1, c + 3, 1000);
    ++placed;
  }
  ASSERT_GT(placed, 5);
  matches_reference(s, small_config(), GetParam(), 1);
}

INSTANTIATE_TEST_SUITE_P(EveryLoop, DpColumns, testing::Values(Loop::vector, Loop::portable, Loop::wide));

TEST(DpCycle, BandLimitsTheProcessedRowsOfEachColumn) {
  for (auto [n, m] : {std::pair<std::size_t, std::size_t>{300, 300}, {400, 120}, {120, 400}, {250, 251}}) {
    ScoreMatrix s;
    s.reset(n, m);
    DpWorkspace ws;
    dp_cycle(helix(n), helix(m), s, AlignmentConfig{}, ws);
    const double w = 100.0 + std::fabs(double(std::int64_t(n) - std::int64_t(m)) - 4.0);
    const double t = double(n + 2), u = double(m + 2);
    const double h = ((w / std::sqrt(2.0)) * (t / u + u / t)) / std::sqrt(t * t + u * u);
    std::size_t processed = 0;
    for (std::size_t c = 1; c <= m; ++c)
      for (std::size_t r = 1; r <= n; ++r) {
        const bool inside = std::fabs(double(r) / t - double(c) / u) <= h;
        const Span span = ws.band[c - 1];
        ASSERT_EQ(r >= span.lo && r < span.hi, inside) << n << "x" << m << " " << r << " " << c;
        processed += inside;
      }
    if (n + m < 510) {  // long-vs-short bands cover everything
      EXPECT_LT(processed, n * m);
    }
  }
}

TEST(DpCycle, IdenticalTracesGiveTheDiagonalFromTwentyFourResiduesOn) {
  const AlignmentConfig cfg;
  const SimilarityContext ctx = SimilarityContext::from_config(cfg);
  for (std::size_t n : {23u, 24u, 60u}) {
    const PointList a = helix(n);
    const CycleResult r = dp_cycle(a, a, similarity_banded(a, a, ctx), cfg);
    if (n < 24) {
      EXPECT_TRUE(r.core_pairs.empty());
      EXPECT_EQ(r.rmsd, 100.0);
      EXPECT_EQ(r.score, 0.0);
      continue;
    }
    ASSERT_EQ(r.core_pairs.size(), n);
    for (std::size_t k = 0; k < n; ++k) EXPECT_EQ(r.core_pairs[k], ResiduePair(k, k));
    EXPECT_EQ(r.path_length, n);
    EXPECT_EQ(r.score, 1.25);
    EXPECT_NEAR(r.rmsd, 0.0, 1e-9);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) EXPECT_NEAR(r.transform.rotation[i][j], i == j, 1e-12);
    EXPECT_EQ(r.first_range, ResiduePair(0, n - 1));
  }
}

TEST(DpCycle, MismatchedMatrixAndExtremeSettingsStillReturn) {
  const PointList a = helix(30);
  const SimilarityMatrix s = similarity_banded(a, a, SimilarityContext::from_config(AlignmentConfig{}));
  EXPECT_TRUE(dp_cycle(a, helix(29), s, AlignmentConfig{}).core_pairs.empty());

  AlignmentConfig huge;
  huge.cutoff_dist = 1e300;  // threshold saturates: nothing can reach it
  EXPECT_EQ(dp_cycle(a, a, s, huge).rmsd, 100.0);

  AlignmentConfig negative;  // a negative gap rewards gaps; values saturate, never wrap
  negative.gap_penalty = -3e6;
  const CycleResult r = dp_cycle(a, a, s, negative);
  EXPECT_GE(r.score, 0.0);
  EXPECT_GT(r.path_length, 0u);
}

TEST(DpCycle, AnEmptySideGivesTheEmptyResult) {
  const SimilarityContext ctx = SimilarityContext::from_config(AlignmentConfig{});
  for (std::size_t m : {0u, 1u, 5u, 300u}) {
    const PointList none, some = helix(m);
    for (const auto& [a, b] : {std::pair{none, some}, std::pair{some, none}}) {
      const CycleResult r = dp_cycle(a, b, similarity_full(a, b, ctx), AlignmentConfig{});
      EXPECT_TRUE(r.core_pairs.empty());
      EXPECT_EQ(r.path_length, 0u);
      EXPECT_EQ(r.rmsd, 100.0);
      EXPECT_EQ(r.score, 0.0);
    }
  }
}

// Scores computed a few columns ahead of the dynamic programming give the
// cycle that the whole matrix gives, on real pairs in their own frames and
// superposed (where paths run long and many columns score high).
TEST(DpCycle, ScoresFedColumnByColumnGiveTheWholeMatrixCycle) {
  const AlignmentConfig cfg;
  const SimilarityContext ctx = SimilarityContext::from_config(cfg);
  const PointList kinesin = coordinates(fixtures::structure("kinesin_motor", "d1bg2__"));
  const PointList globin = coordinates(fixtures::structure("globin", "1mbn"));
  ASSERT_GT(kinesin.size(), 300u);
  ASSERT_GT(globin.size(), 100u);
  PointList moved = kinesin;
  for (Vec3& v : moved) v = v + Vec3{0.6, -0.4, 0.3};
  for (const auto& [a, b] : {std::pair{kinesin, globin}, std::pair{globin, kinesin}, std::pair{kinesin, moved}}) {
    IntegerTrace ta, tb;
    to_integer_trace(a, ctx.precision, ta);
    to_integer_trace(b, ctx.precision, tb);
    ScoreMatrix whole, fed;
    SimilarityScratch whole_scratch, fed_scratch;
    banded_scores(ta, tb, ctx, cfg.precision, whole, whole_scratch);
    DpWorkspace ws;
    const CycleResult expected = dp_cycle(a, b, whole, cfg, ws);
    ASSERT_TRUE(prepare_banded_scores(ta, tb, ctx, cfg.precision, fed, fed_scratch));
    std::vector<std::size_t> asked;  // first column of each request
    const CycleResult got = dp_cycle(a, b, fed, cfg, ws, [&](std::size_t from, std::size_t to) {
      asked.push_back(from);
      banded_score_columns(ta, tb, fed, fed_scratch, from, to);
    });
    EXPECT_EQ(got.core_pairs, expected.core_pairs);
    EXPECT_EQ(got.residue_similarity, expected.residue_similarity);
    EXPECT_EQ(got.score, expected.score);
    EXPECT_EQ(got.rmsd, expected.rmsd);
    EXPECT_EQ(got.path_length, expected.path_length);
    EXPECT_TRUE(std::is_sorted(asked.begin(), asked.end()));
    EXPECT_EQ(fed.values, whole.values);
  }
}
