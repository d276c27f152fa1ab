#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "pelda/math/superpose.hpp"
#include "pelda/pairwise/align_pair.hpp"
#include "pelda/scan/scan_align.hpp"
#include "traces.hpp"

using namespace pelda;
using pelda::fixtures::domain_of;
using pelda::fixtures::helix;

namespace {

ScanOutcome scan(const Domain& a, const Domain& b, const ScanConfig& cfg = ScanConfig::from_parameters(Parameters{})) {
  auto r = scan_align(a, b, cfg);
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : ScanOutcome{};
}

// Extended chain: unlike anything a helix can be superposed onto.
PointList strand(std::size_t n) {
  PointList p(n);
  for (std::size_t k = 0; k < n; ++k) p[k] = {3.8 * double(k), (k % 2) ? 0.9 : -0.9, 0.0};
  return p;
}

double rmsd_over(const Domain& a, const Domain& b, const std::vector<ResiduePair>& pairs, const Transform& t) {
  double sum = 0.0;
  for (auto [i, j] : pairs) {
    const Vec3 d = a.residues[i].position() - t.apply(b.residues[j].position());
    sum += dot(d, d);
  }
  return std::sqrt(sum / double(pairs.size()));
}

}  // namespace

TEST(ScanAlign, RecoversARigidMotionOfAStructure) {
  for (auto [family, name] : {std::pair{"globin", "1mbn"}, std::pair{"lipocalin_obp", "1a3y"}}) {
    const Domain d = fixtures::structure(family, name);
    ASSERT_GT(d.size(), 100u);
    const Domain m = pelda::moved(d, fixtures::rigid_motion());
    const ScanOutcome out = scan(d, m);
    ASSERT_TRUE(out.best.has_value());
    EXPECT_LT(out.rmsd, 0.01);
    EXPECT_EQ(out.score, 1.25);
    EXPECT_EQ(out.offset, 0u);
    EXPECT_FALSE(out.significant);
    EXPECT_EQ(out.n_aligned, d.size());
    EXPECT_EQ(out.path_length, d.size());
    for (std::size_t k = 0; k < d.size(); ++k) {
      const Vec3 back = out.transform.apply(m.residues[k].position());
      EXPECT_NEAR(back.x, d.residues[k].x, 1e-6);
      EXPECT_NEAR(back.z, d.residues[k].z, 1e-6);
    }
  }
}

TEST(ScanAlign, HomologuesGiveAProperRotationAndReproducibleRmsd) {
  const Domain a = fixtures::structure("globin", "1mbn"), b = fixtures::structure("globin", "2eb8");
  const Domain b_before = b;
  const ScanOutcome out = scan(a, b);
  ASSERT_TRUE(out.best.has_value());
  EXPECT_GT(out.score, 0.5);
  EXPECT_GT(out.n_aligned, 100u);
  EXPECT_NEAR(fixtures::det(out.transform.rotation), 1.0, 1e-12);
  EXPECT_NEAR(rmsd_over(a, b, out.best->aligned_pairs, out.transform), out.rmsd, 1e-9);
  EXPECT_EQ(out.seq_identity, out.best->seq_identity / 100.0);

  const ScanOutcome again = scan(a, b);
  EXPECT_EQ(std::memcmp(&again.transform, &out.transform, sizeof out.transform), 0);
  EXPECT_EQ(again.best->aligned_pairs, out.best->aligned_pairs);
  for (std::size_t k = 0; k < b.size(); ++k) EXPECT_EQ(b.residues[k].y, b_before.residues[k].y);
}

TEST(ScanAlign, LengthRatiosDecideWhatIsSearched) {
  const Domain ref = domain_of(helix(40));
  const ScanOutcome too_short = scan(ref, domain_of(helix(19)));  // below floor(0.5 * 40)
  EXPECT_FALSE(too_short.best.has_value());
  EXPECT_EQ(too_short.rmsd, INFINITY);
  EXPECT_EQ(too_short.score, 0.0);
  EXPECT_EQ(too_short.n2, 19u);
  EXPECT_EQ(too_short.transform.rotation, identity3());
  EXPECT_TRUE(scan(ref, domain_of(helix(20))).best.has_value());

  const ScanOutcome cut = scan(domain_of(helix(30)), domain_of(helix(50)));  // cut to floor(1.3 * 30)
  EXPECT_EQ(cut.n1, 30u);
  EXPECT_EQ(cut.n2, 39u);
  ASSERT_TRUE(cut.best.has_value());
  for (auto [i, j] : cut.best->aligned_pairs) EXPECT_LT(j, 39u);

  EXPECT_FALSE(scan(domain_of(helix(2)), domain_of(helix(2))).best.has_value());
}

TEST(ScanAlign, WithoutAnyFragmentTheFirstWindowIsKept) {
  const ScanOutcome out = scan(domain_of(helix(40)), domain_of(strand(40)));
  ASSERT_TRUE(out.best.has_value());
  EXPECT_EQ(out.score, 0.0);
  EXPECT_EQ(out.rmsd, 100.0);
  EXPECT_EQ(out.offset, 0u);  // every later window ties at 0 and loses
  const Superposition window = superpose(helix(40), strand(40));
  EXPECT_EQ(std::memcmp(&out.transform, &window.transform, sizeof window.transform), 0);
}

TEST(ScanAlign, SlideZeroStepsByOne) {
  const Domain a = fixtures::structure("kringle", "1pk4"), b = fixtures::structure("kringle", "1pkr");
  ScanConfig zero = ScanConfig::from_parameters(Parameters{}, 0), one = ScanConfig::from_parameters(Parameters{}, 1);
  const ScanOutcome z = scan(a, b, zero), o = scan(a, b, one);
  EXPECT_EQ(z.offset, o.offset);
  EXPECT_EQ(z.score, o.score);
  EXPECT_EQ(std::memcmp(&z.transform, &o.transform, sizeof z.transform), 0);
}

TEST(ScanAlign, OnePassReportsTheBestWindowRunItself) {
  const Domain a = fixtures::structure("globin", "1mbn"), b = fixtures::structure("globin", "5vzq");
  Parameters p;
  p.n_passes = 1;
  const ScanConfig cfg = ScanConfig::from_parameters(p);
  const ScanOutcome out = scan(a, b, cfg);
  ASSERT_TRUE(out.best.has_value());
  const std::size_t k = std::min(a.size(), b.size() - out.offset);
  const PointList c1 = coordinates(a), c2 = coordinates(b);
  const Superposition window = superpose(c1.data(), k, c2.data() + out.offset, k);
  AlignWorkspace ws;
  const PairwiseAlignment run = align_traces(c1, window.transform.apply(c2), residue_types(a.residues),
                                             residue_types(b.residues), scan_run_config(cfg), ws);
  EXPECT_EQ(out.score, run.score);
  const Transform expected = run.transform.compose(window.transform);
  EXPECT_EQ(std::memcmp(&out.transform, &expected, sizeof expected), 0);

  const ScanOutcome refined = scan(a, b);  // two passes: the refinement may only improve
  EXPECT_GE(refined.score, out.score);
}
