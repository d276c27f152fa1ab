#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "pelda/math/exp.hpp"
#include "pelda/math/rounding.hpp"
#include "pelda/scoring/band.hpp"
#include "pelda/scoring/similarity.hpp"
#include "traces.hpp"

using namespace pelda;
using pelda::fixtures::helix;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

SimilarityContext default_context() { return SimilarityContext::from_config(AlignmentConfig{}); }

// Distance in units in the last place between a double and a more precise value.
double ulp_error(double got, long double exact) {
  const double nearest = double(exact);
  const double ulp = std::nextafter(nearest, kInf) - nearest;
  return double(std::fabs((long double)got - exact) / (long double)(ulp > 0 ? ulp : 4.9e-324));
}

// Points on a 1 A circle: every pair is close, so every evaluated cell is
// clearly above the unevaluated value.
PointList ring(std::size_t n) {
  PointList p(n);
  for (std::size_t k = 0; k < n; ++k) p[k] = {std::cos(0.3 * double(k)), std::sin(0.3 * double(k)), 0.0};
  return p;
}

}  // namespace

TEST(Rounding, HalvesAwayFromZeroSaturatingNanToZero) {
  const struct {
    double in;
    std::int32_t out;
  } cases[] = {{0.5, 1},
               {-0.5, -1},
               {2.5, 3},
               {-2.5, -3},
               {1.4999999999999998, 1},
               {0.49999999999999994, 0},
               {-1250.0, -1250},
               {1249.9999999999998, 1250},
               {2147483646.5, 2147483647},
               {3e9, 2147483647},
               {-3e9, -2147483647 - 1},
               {kInf, 2147483647},
               {-kInf, -2147483647 - 1},
               {kNaN, 0}};
  for (const auto& c : cases) EXPECT_EQ(round_to_int32(c.in), c.out) << c.in;
}

TEST(Exp, WithinOneUlpOverTheWholeRange) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> wide(-760.0, 720.0), narrow(-1.0, 1.0), tiny_res(-745.2, -707.0);
  double worst = 0.0;
  for (int k = 0; k < 200000; ++k) {
    const double x = k % 3 == 0 ? wide(rng) : (k % 3 == 1 ? narrow(rng) : tiny_res(rng));
    const long double exact = std::exp((long double)x);
    const double got = exp_1ulp(x);
    if (std::isinf(double(exact))) {
      EXPECT_TRUE(std::isinf(got)) << x;
      continue;
    }
    worst = std::max(worst, ulp_error(got, exact));
  }
  EXPECT_LE(worst, 1.0);
  EXPECT_EQ(exp_1ulp(0.0), 1.0);
  EXPECT_EQ(exp_1ulp(-0.0), 1.0);
  EXPECT_EQ(exp_1ulp(-kInf), 0.0);
  EXPECT_EQ(exp_1ulp(-800.0), 0.0);
  EXPECT_TRUE(std::isinf(exp_1ulp(kInf)));
  EXPECT_TRUE(std::isnan(exp_1ulp(kNaN)));
}

TEST(Band, WidthGrowsByTheShiftedLengthDifference) {
  EXPECT_EQ(adjusted_band_width(100.0, 150, 150), 104.0);
  EXPECT_EQ(adjusted_band_width(100.0, 154, 150), 100.0);
  EXPECT_EQ(adjusted_band_width(100.0, 100, 150), 154.0);
  EXPECT_EQ(adjusted_band_width(100.0, 300, 100), 296.0);
}

// Narrow bands leave lines empty, which carry the start on; long-vs-short
// shapes make runs jump.
TEST(Band, RunsMatchTheLiteralScan) {
  for (std::size_t n : {1u, 2u, 7u, 40u, 333u})
    for (std::size_t m : {1u, 3u, 40u, 333u})
      for (double width : {0.0, 0.3, 2.0, 100.0}) {
        BandTable table;
        table.build(make_band(width, double(n + 1), double(m + 1)), n, m);
        std::vector<Span> got;
        band_runs(table.row_frac.data(), n, table.col_frac.data(), 0, m, table.h, got);
        ASSERT_EQ(got.size(), n);
        std::size_t start = 0;
        for (std::size_t i = 0; i < n; ++i) {
          std::size_t p = start;
          while (p < m && !table.contains(i, p)) ++p;
          Span expected;
          if (p < m) {
            expected.lo = p;
            while (p < m && table.contains(i, p)) ++p;
            expected.hi = p;
            start = expected.lo;
          }
          ASSERT_EQ(got[i].lo, expected.lo) << n << "x" << m << " " << width << " line " << i;
          ASSERT_EQ(got[i].hi, expected.hi) << n << "x" << m << " " << width << " line " << i;
        }
      }
}

// The band's edges fall where floating point puts them: for n = m = 300 the
// cell 104 columns right of the diagonal is inside in row 0 and outside in
// row 50; for n = m = 250 that offset is outside already in row 0.
TEST(Similarity, BandedEvaluationFollowsTheBandToTheBit) {
  const SimilarityContext ctx = default_context();
  const double unevaluated = (0.0 - 0.5) / 0.4;
  for (std::size_t n : {250u, 300u}) {
    const PointList a = ring(n);
    const SimilarityMatrix s = similarity_banded(a, a, ctx);
    const double t = double(n + 1), w = 104.0;
    const double h = ((w / std::sqrt(2.0)) * (t / t + t / t)) / std::sqrt(t * t + t * t);
    std::size_t evaluated = 0;
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = 0; j < n; ++j) {
        const bool inside = std::fabs(double(j) / t - double(i) / t) <= h;
        evaluated += inside;
        ASSERT_EQ(s.at(i, j) != unevaluated, inside) << n << " " << i << " " << j;
      }
    EXPECT_GT(evaluated, n * 150);
  }
  const SimilarityMatrix s300 = similarity_banded(ring(300), ring(300), ctx);
  EXPECT_NE(s300.at(0, 104), unevaluated);
  EXPECT_EQ(s300.at(0, 105), unevaluated);
  EXPECT_EQ(s300.at(50, 154), unevaluated);
  EXPECT_NE(s300.at(1, 105), unevaluated);
  const SimilarityMatrix s250 = similarity_banded(ring(250), ring(250), ctx);
  EXPECT_NE(s250.at(0, 103), unevaluated);
  EXPECT_EQ(s250.at(0, 104), unevaluated);
}

TEST(Similarity, IdenticalTracesScorePerfectOnTheDiagonal) {
  const PointList a = helix(40);
  const SimilarityMatrix s = similarity_banded(a, a, default_context());
  ASSERT_EQ(s.rows, 40u);
  ASSERT_TRUE(s.normalized);
  EXPECT_EQ(*s.mean, 0.5);
  EXPECT_EQ(*s.sd, 0.4);
  for (std::size_t k = 0; k < 40; ++k) EXPECT_EQ(s.at(k, k), 1.25);
  EXPECT_LT(s.at(3, 10), 0.0);
}

TEST(Similarity, DistanceAndConformationTerms) {
  const SimilarityContext ctx = default_context();
  IntegerTrace a, b;
  // Shifted by 2 e1 = 4 A: identical neighbour vectors, P = e^-2.
  PointList p = helix(10), q = p;
  for (Vec3& v : q) v.x += 4.0;
  to_integer_trace(p, ctx.precision, a);
  to_integer_trace(q, ctx.precision, b);
  EXPECT_NEAR(pair_similarity(a, b, 5, 5, ctx), std::exp(-2.0), 1e-16);

  // Chain ends carry one conformation term only: row 0 has no backward term.
  PointList r = {{0, 0, 0}, {1, 0, 0}}, s = {{0, 0, 0}, {0, 2, 0}, {0, 2, 3}};
  to_integer_trace(r, ctx.precision, a);
  to_integer_trace(s, ctx.precision, b);
  // (0,1): d = (0,-2,0), D = 4; forward: (r1 - r0) - (s2 - s1) = (1,0,-3), |v|^2 = 10.
  EXPECT_DOUBLE_EQ(pair_similarity(a, b, 0, 1, ctx), std::exp(-4.0 / 8.0 - 10.0 / 50.0));
  // (1,1): last row, backward only: (r0 - r1) - (s0 - s1) = (-1,-2,0), |u|^2 = 5.
  EXPECT_DOUBLE_EQ(pair_similarity(a, b, 1, 1, ctx), std::exp(-(1.0 + 4.0) / 8.0 - 5.0 / 50.0));
  // A single residue each: distance term only.
  PointList one = {{1, 2, 3}}, other = {{1, 2, 5}};
  SimilarityMatrix m = similarity_banded(one, other, ctx);
  EXPECT_DOUBLE_EQ(m.at(0, 0), (std::exp(-4.0 / 8.0) - 0.5) / 0.4);
}

TEST(Similarity, CoordinatesEnterOnTheMilliAngstromGrid) {
  const SimilarityContext ctx = default_context();
  IntegerTrace t;
  to_integer_trace({{0.0005, -0.0005, 0.0004999}, {kNaN, 1e300, -kInf}}, ctx.precision, t);
  EXPECT_EQ(t.x[0], 1.0);
  EXPECT_EQ(t.y[0], -1.0);
  EXPECT_EQ(t.z[0], 0.0);
  EXPECT_EQ(t.x[1], 0.0);
  EXPECT_EQ(t.y[1], 2147483647.0);
  EXPECT_EQ(t.z[1], -2147483648.0);
  EXPECT_EQ(t.bx[1], 1.0);  // previous minus this, as integers
  EXPECT_EQ(t.has_back[0], 0.0);
  EXPECT_EQ(t.has_fwd[1], 0.0);
}

TEST(Similarity, EmptyAndDegenerateInputs) {
  SimilarityContext ctx = default_context();
  const SimilarityMatrix empty = similarity_full({}, helix(5), ctx);
  EXPECT_TRUE(empty.values.empty());
  EXPECT_TRUE(empty.normalized);

  ctx.norm_sd = 0.0;
  const SimilarityMatrix raw = similarity_full(helix(3), helix(3), ctx);
  EXPECT_FALSE(raw.normalized);
  EXPECT_FALSE(raw.mean.has_value());
  EXPECT_EQ(raw.at(1, 1), 1.0);

  // e1 = 0: distance 0 gives 0/-0 = NaN, any other distance -inf, so P = 0.
  AlignmentConfig cfg;
  cfg.e1 = 0.0;
  const SimilarityMatrix z = similarity_full(helix(4), helix(4), SimilarityContext::from_config(cfg));
  EXPECT_TRUE(std::isnan(z.at(2, 2)));
  EXPECT_EQ(z.at(0, 3), -1.25);
}

// The integer path skips the kernel for distant residues; every cell must
// still convert exactly what the double matrix holds, for any settings.
TEST(Similarity, IntegerScoresMatchTheDoubleMatrixBitForBit) {
  const Domain d1 = fixtures::structure("globin", "1mbn"), d2 = fixtures::structure("globin", "1hho");
  ASSERT_GT(d1.size(), 100u);
  PointList near = coordinates(d1);  // the first chain, shifted a little: close and far cells
  for (Vec3& v : near) v = v + Vec3{0.9, -1.7, 0.4};
  const auto with = [](double e1, double e2, double mean, double sd) {
    SimilarityContext ctx = default_context();
    ctx.e1 = e1;
    ctx.e2 = e2;
    ctx.dist_denominator = -2.0 * (e1 * e1);
    ctx.conf_denominator = -2.0 * (e2 * e2);
    ctx.norm_mean = mean;
    ctx.norm_sd = sd;
    return ctx;
  };
  std::vector<std::pair<PointList, PointList>> inputs = {{coordinates(d1), coordinates(d2)},
                                                        {coordinates(d1), near},
                                                        {ring(300), helix(120)},
                                                        {helix(90), ring(320)}};
  // Far from the origin, where single precision rounds coordinates coarsely.
  PointList away = coordinates(d1), away_near = near;
  for (Vec3& v : away) v = v + Vec3{4000.0, -3000.0, 2500.0};
  for (Vec3& v : away_near) v = v + Vec3{4000.0, -3000.0, 2500.0};
  inputs.emplace_back(away, away_near);
  // Straight lines side by side: the conformation term vanishes and the
  // distances sweep finely through the point where the score stops changing.
  PointList line(8);
  for (std::size_t k = 0; k < line.size(); ++k) line[k] = {0.0, 0.0, 3.8 * double(k)};
  for (double t = 0.0; t < 25.0; t += 0.0125) {
    PointList beside = line;
    for (Vec3& v : beside) v.x = t;
    inputs.emplace_back(line, beside);
  }
  // With sd 1 and precision 1 identical residues score exactly 0.5: a
  // rounding tie, which must round away from zero as the kernel does.
  const SimilarityContext contexts[] = {default_context(),          with(1.0, 2.5, 0.5, 0.4),
                                        with(3.0, 0.7, 0.2, -0.3), with(2.0, 5.0, 0.5, 0.0),
                                        with(0.0, 5.0, 0.5, 0.4),  with(2.0, 5.0, 0.5, 1.0)};
  for (const SimilarityContext& ctx : contexts)
    for (std::uint32_t precision : {1000u, 37u, 1u})
      for (const auto& [c1, c2] : inputs) {
        const SimilarityMatrix m = similarity_banded(c1, c2, ctx);
        ScoreMatrix expected, got;
        scores_from_matrix(m, precision, expected);
        IntegerTrace a, b;
        to_integer_trace(c1, ctx.precision, a);
        to_integer_trace(c2, ctx.precision, b);
        for (bool vector : {true, false}) {  // the vector path where the processor has it, the portable one
          SimilarityScratch scratch;
          scratch.vector_columns = vector;
          banded_scores(a, b, ctx, precision, got, scratch);
          for (std::size_t c = 0; c <= c2.size() + 1; ++c)
            for (std::size_t r = 0; r <= c1.size() + 1; ++r)
              ASSERT_EQ(got.at(r, c), expected.at(r, c)) << ctx.e1 << " " << precision << " " << r << " " << c;
          ASSERT_GE(*got.top, *std::max_element(got.values.begin(), got.values.end()));
        }
      }
  // The full matrix agrees with the banded one inside the band.
  const SimilarityContext ctx = default_context();
  const PointList c1 = coordinates(d1), c2 = coordinates(d2);
  const SimilarityMatrix m = similarity_banded(c1, c2, ctx), full = similarity_full(c1, c2, ctx);
  for (std::size_t i = 0; i < m.rows; ++i)
    for (std::size_t j = 0; j < m.cols; ++j)
      if (m.at(i, j) != -1.25) {
        ASSERT_EQ(std::memcmp(&m.values[i * m.cols + j], &full.values[i * m.cols + j], 8), 0);
      }
}

// Distant pairs skip the exponential; their entries must still be exactly
// what the exponential would have given after normalisation.
TEST(Similarity, SkippedDistantPairsKeepExactValues) {
  const Domain d1 = fixtures::structure("kringle", "1pk4"), d2 = fixtures::structure("kringle", "1pkr");
  PointList c1 = coordinates(d1), c2 = coordinates(d2);
  for (std::size_t k = 0; k < c2.size() / 2; ++k) c2[k] = c1[k % c1.size()] + Vec3{0.4, -0.2, 0.1};
  const SimilarityContext ctx = default_context();
  const SimilarityMatrix m = similarity_full(c1, c2, ctx);
  IntegerTrace a, b;
  to_integer_trace(c1, ctx.precision, a);
  to_integer_trace(c2, ctx.precision, b);
  std::size_t far = 0, near = 0;
  for (std::size_t i = 0; i < m.rows; ++i)
    for (std::size_t j = 0; j < m.cols; ++j) {
      const double p = pair_similarity(a, b, i, j, ctx), expected = (p - 0.5) / 0.4;
      ASSERT_EQ(std::memcmp(&expected, &m.values[i * m.cols + j], 8), 0) << i << " " << j;
      (p < 1e-18 ? far : near) += 1;
    }
  EXPECT_GT(far, 1000u);
  EXPECT_GT(near, 1000u);
}
