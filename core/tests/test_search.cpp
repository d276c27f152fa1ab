#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>

#include "pelda/io/dssp_reader.hpp"
#include "pelda/io/pdb_reader.hpp"
#include "pelda/pairwise/align_pair.hpp"
#include "pelda/search/ca_secondary_structure.hpp"
#include "pelda/math/superpose.hpp"
#include "pelda/search/gap_open_dp.hpp"
#include "pelda/search/quaternion_rotation.hpp"
#include "pelda/search/sensitive_align.hpp"
#include "pelda/search/start_search.hpp"
#include "traces.hpp"

using namespace pelda;

namespace {

// Score of an alignment under the gap model: every run of skipped residues
// between two pairs costs g in each chain where it occurs; before the first
// and after the last pair only skips in both chains cost g (once).
double model_score(const std::vector<double>& s, std::size_t n, std::size_t m, double g,
                   const std::vector<ResiduePair>& pairs) {
  if (pairs.empty()) return -g;
  double total = 0.0;
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    total += s[pairs[k].first * m + pairs[k].second];
    if (k == 0) continue;
    total -= g * double(pairs[k].first > pairs[k - 1].first + 1) + g * double(pairs[k].second > pairs[k - 1].second + 1);
  }
  total -= g * double(pairs.front().first > 0 && pairs.front().second > 0);
  total -= g * double(pairs.back().first + 1 < n && pairs.back().second + 1 < m);
  return total;
}

// The best model score over every order-preserving alignment.
double brute_force(const std::vector<double>& s, std::size_t n, std::size_t m, double g) {
  double best = -INFINITY;
  std::vector<ResiduePair> pairs;
  std::function<void(std::size_t, std::size_t)> extend = [&](std::size_t i0, std::size_t j0) {
    best = std::max(best, model_score(s, n, m, g, pairs));
    for (std::size_t i = i0; i < n; ++i)
      for (std::size_t j = j0; j < m; ++j) {
        pairs.emplace_back(i, j);
        extend(i + 1, j + 1);
        pairs.pop_back();
      }
  };
  extend(0, 0);
  return best;
}

}  // namespace

TEST(GapOpenDp, MatchesExhaustiveSearchOnSmallMatrices) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> value(0.0, 1.0);
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t n = 1 + rng() % 5, m = 1 + rng() % 5;
    const double g = (trial % 3) * 0.6;
    std::vector<double> s(n * m);
    for (double& v : s) v = value(rng) < 0.3 ? 0.0 : value(rng);  // zeros make ties
    const GapOpenAlignment a = gap_open_align(s, n, m, g);
    const double best = brute_force(s, n, m, g);
    ASSERT_NEAR(a.score, best, 1e-5) << "trial " << trial;  // sums in single precision
    ASSERT_NEAR(model_score(s, n, m, g, a.pairs), best, 1e-5) << "trial " << trial;
  }
}

namespace {

// Scores of an n x m matrix up to `size` a side, half zeros and the rest on
// a coarse grid, so that many paths tie.
std::vector<double> tied_scores(std::mt19937& rng, std::size_t size, std::size_t& n, std::size_t& m) {
  std::uniform_real_distribution<double> value(0.0, 1.0);
  n = 1 + rng() % size, m = 1 + rng() % size;
  std::vector<double> s(n * m);
  for (double& v : s) v = value(rng) < 0.5 ? 0.0 : std::round(4.0 * value(rng)) / 4.0;
  return s;
}

}  // namespace

// Rows filled four columns at a time and (where the processor can) eight at
// a time give the same alignment, ties included, on matrices wider than both.
TEST(GapOpenDp, RowWidthsAgree) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 100; ++trial) {
    std::size_t n, m;
    const std::vector<double> s = tied_scores(rng, 40, n, m);
    const GapOpenAlignment four = gap_open_align(s, n, m, 0.5, 4), widest = gap_open_align(s, n, m, 0.5);
    ASSERT_EQ(four.pairs, widest.pairs) << "trial " << trial;
    ASSERT_EQ(four.score, widest.score) << "trial " << trial;
  }
}

// The thread's workspace, kept from larger and smaller matrices before,
// gives what a fresh one gives.
TEST(GapOpenDp, AKeptWorkspaceAgreesWithAFreshOne) {
  std::mt19937 rng(13);
  for (int trial = 0; trial < 60; ++trial) {
    std::size_t n, m;
    const std::vector<double> s = tied_scores(rng, 50, n, m);
    const GapOpenAlignment fresh = gap_open_align(s, n, m, 0.6);
    const GapOpenAlignment kept = gap_open_align(
        n, m, [&](std::size_t i, float* row) { std::copy(s.begin() + i * m, s.begin() + (i + 1) * m, row); }, 0.6,
        thread_gap_open_workspace());
    ASSERT_EQ(kept.pairs, fresh.pairs) << "trial " << trial;
    ASSERT_EQ(kept.score, fresh.score) << "trial " << trial;
  }
}

// Point sets of every shape: scattered, nearly planar, nearly collinear,
// mirrored; each fitted onto a rotated, noisy copy of itself.
TEST(QuaternionRotation, AgreesWithTheSingularValueFit) {
  std::mt19937 rng(3);
  std::normal_distribution<double> gauss(0.0, 1.0);
  auto trace_of = [](const Mat3& r, const Mat3& h) {
    double t = 0.0;
    for (int i = 0; i < 3; ++i)
      for (int k = 0; k < 3; ++k) t += r[i][k] * h[k][i];
    return t;
  };
  for (int trial = 0; trial < 400; ++trial) {
    const double spread[4][3] = {{10, 10, 10}, {10, 10, 1e-3}, {10, 1e-4, 1e-4}, {10, 5, 2}};
    const auto& sd = spread[trial % 4];
    const std::size_t count = 3 + rng() % 20;
    PointList fixed, mobile;
    Mat3 g;  // a random proper rotation: the optimal one for a random matrix
    for (auto& row : g)
      for (double& x : row) x = gauss(rng);
    const Transform motion = Transform::from_matrix(optimal_rotation(g), {});
    for (std::size_t k = 0; k < count; ++k) {
      const Vec3 p{sd[0] * gauss(rng), sd[1] * gauss(rng), sd[2] * gauss(rng)};
      const double noise = trial % 8 < 4 ? 0.0 : 0.5;
      fixed.push_back(p);
      mobile.push_back(motion.apply({p.x + noise * gauss(rng), p.y + noise * gauss(rng), p.z + noise * gauss(rng)}));
    }
    if (trial % 16 == 15)
      for (Vec3& p : mobile) p.x = -p.x;  // no rotation superposes a mirror image
    Mat3 h{};
    for (std::size_t k = 0; k < count; ++k)
      for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) h[a][b] += mobile[k][a] * fixed[k][b];
    const Mat3 q = quaternion_rotation(h), r = optimal_rotation(h);
    EXPECT_NEAR(fixtures::det(q), 1.0, 1e-9) << "trial " << trial;
    // Both reach the same maximum; when it is unique they are one rotation.
    EXPECT_NEAR(trace_of(q, h), trace_of(r, h), 1e-9 * std::abs(trace_of(r, h))) << "trial " << trial;
    if (trial % 4 == 0 || trial % 4 == 3) {
      for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(q[i][k], r[i][k], 1e-7) << "trial " << trial;
    }
  }
}

// TM terms come out the same bit for bit however many the processor does at once.
TEST(GapOpenDp, TmTermRowIsTheScalarFormula) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> coordinate(-40.0f, 40.0f);
  for (const std::size_t m : {1u, 7u, 8u, 9u, 150u}) {
    std::vector<float> qx(m), qy(m), qz(m), row(m);
    for (std::size_t j = 0; j < m; ++j) qx[j] = coordinate(rng), qy[j] = coordinate(rng), qz[j] = coordinate(rng);
    const float px = coordinate(rng), py = coordinate(rng), pz = coordinate(rng), inv = 1.0f / 17.0f;
    tm_term_row(px, py, pz, qx.data(), qy.data(), qz.data(), m, inv, row.data());
    for (std::size_t j = 0; j < m; ++j) {
      const float dx = px - qx[j], dy = py - qy[j], dz = pz - qz[j];
      ASSERT_EQ(row[j], 1.0f / (1.0f + (dx * dx + dy * dy + dz * dz) * inv)) << m << " " << j;
    }
  }
}

TEST(CaSecondaryStructure, AgreesWithDsspOnTheShippedChains) {
  std::ifstream manifest(std::string(OVELT_TEST_DATA) + "/MANIFEST.tsv");
  std::string line;
  std::getline(manifest, line);
  std::size_t chains = 0, same = 0, total = 0;
  while (std::getline(manifest, line)) {
    std::istringstream fields(line);
    std::string file, id, chain, family, count, first, last, dssp;
    std::getline(fields, file, '\t');
    for (std::string* f : {&id, &chain, &family, &count, &first, &last, &dssp}) std::getline(fields, *f, '\t');
    if (dssp == "-" || file.rfind("structures/", 0) != 0) continue;
    Result<Domain> d = read_pdb_domain(std::string(OVELT_TEST_DATA) + "/" + file, std::nullopt);
    ASSERT_TRUE(d.ok()) << file;
    ASSERT_TRUE(apply_dssp(*d, std::string(OVELT_TEST_DATA) + "/" + dssp).ok()) << dssp;
    const std::string ours = ca_secondary_structure(coordinates(*d));
    std::size_t agree = 0;
    for (std::size_t k = 0; k < d->size(); ++k) agree += ours[k] == d->residues[k].ss_code;
    // NMR zinc fingers and kringles are mostly coil; every chain still agrees on most residues.
    EXPECT_GT(double(agree) / double(d->size()), 0.6) << file;
    same += agree;
    total += d->size();
    ++chains;
  }
  EXPECT_GE(chains, 25u);
  EXPECT_GT(double(same) / double(total), 0.78);
}

TEST(StartSearch, RecoversARigidMotionExactly) {
  const Domain d = fixtures::structure("lipocalin_obp", "1a3y");
  ASSERT_GT(d.size(), 100u);
  const Transform motion = fixtures::rigid_motion();
  const Domain m = pelda::moved(d, motion);
  const StartSearch s = search_starts(coordinates(d), coordinates(m), AlignmentConfig::from_parameters({}));
  ASSERT_FALSE(s.starts.empty());
  EXPECT_LT(transform_difference(s.best.transform, motion.inverse(), coordinates(m)), 1e-6);
  EXPECT_NEAR(s.best.tm, 1.0, 1e-9);

  const SensitiveAlignment a = sensitive_align(d, m, Parameters{});
  EXPECT_GT(a.aligner.score, 0.0);
  EXPECT_LT(transform_difference(a.transform, motion.inverse(), coordinates(m)), 1e-6);
  ASSERT_EQ(a.structure.pairs.size(), d.size());
  for (std::size_t k = 0; k < d.size(); ++k) EXPECT_EQ(a.structure.pairs[k], ResiduePair(k, k));
  EXPECT_NEAR(a.structure.tm_score, 1.0, 1e-9);
  EXPECT_NEAR(a.structure.tm_score_mobile, 1.0, 1e-9);
  EXPECT_LT(a.structure.rmsd, 1e-6);
  EXPECT_EQ(a.structure.seq_identity, 1.0);
}

TEST(SensitiveAlign, OddInputsGiveClearResults) {
  const Domain globin = fixtures::structure("globin", "1mbn");
  // Too short: the empty result.
  for (std::size_t len : {0u, 1u, 2u}) {
    const Domain tiny = fixtures::domain_of(fixtures::helix(len));
    for (const auto& [a, b] : {std::pair{&tiny, &globin}, std::pair{&globin, &tiny}}) {
      const SensitiveAlignment r = sensitive_align(*a, *b, Parameters{});
      EXPECT_EQ(r.aligner.score, 0.0);
      EXPECT_TRUE(r.structure.pairs.empty());
      EXPECT_TRUE(std::isinf(r.structure.rmsd));
      EXPECT_EQ(r.structure.tm_score, 0.0);
    }
  }
  // Three residues: a result with finite numbers, within their ranges.
  const SensitiveAlignment three = sensitive_align(fixtures::domain_of(fixtures::helix(3)), globin, Parameters{});
  EXPECT_LE(three.structure.tm_score, 1.0);
  EXPECT_TRUE(std::isfinite(three.structure.tm_score_mobile));

  // Coordinates that are not numbers end the search instead of hanging it.
  Domain broken = globin;
  for (Residue& r : broken.residues) r.y = std::nan("");
  EXPECT_EQ(sensitive_align(globin, broken, Parameters{}).aligner.score, 0.0);

  // A mirror image cannot be superposed by a rotation: a poor, honest score.
  Domain mirror = globin;
  for (Residue& r : mirror.residues) r.x = -r.x;
  const SensitiveAlignment m = sensitive_align(globin, mirror, Parameters{});
  EXPECT_NEAR(fixtures::det(m.transform.rotation), 1.0, 1e-9);
  EXPECT_LT(m.structure.tm_score, 0.6);
}

TEST(SensitiveAlign, LongChainAgainstAShortOne) {
  // 3,000 residues: a long helix with a globin pasted at its end.
  const Domain globin = fixtures::structure("globin", "1hho");
  PointList long_chain = fixtures::helix(3000 - globin.size());
  for (Vec3& p : long_chain) p.z -= 5000.0;
  for (const Residue& r : globin.residues) long_chain.push_back(r.position());
  const Domain big = fixtures::domain_of(long_chain);
  const SensitiveAlignment a = sensitive_align(globin, big, Parameters{});
  EXPECT_GT(a.aligner.score, 0.0);  // the score shrinks with the longer chain
  EXPECT_NEAR(a.structure.tm_score, 1.0, 1e-6);
  ASSERT_FALSE(a.structure.pairs.empty());
  EXPECT_EQ(a.structure.pairs.front(), ResiduePair(0, 3000 - globin.size()));
}
