#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "pelda/math/superpose.hpp"
#include "pelda/pairwise/align_pair.hpp"
#include "pelda/scan/scan_align.hpp"
#include "traces.hpp"

using namespace pelda;
using pelda::fixtures::helix;
using pelda::fixtures::residues_of;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

PairwiseAlignment align(const std::vector<Residue>& a, const std::vector<Residue>& b,
                        const AlignmentConfig& cfg = AlignmentConfig{}) {
  auto r = align_pair(a, b, cfg);
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : PairwiseAlignment{};
}

bool same_bits(const PairwiseAlignment& a, const PairwiseAlignment& b) {
  return a.aligned_pairs == b.aligned_pairs && std::memcmp(&a.transform, &b.transform, sizeof a.transform) == 0 &&
         std::memcmp(&a.rmsd, &b.rmsd, 8) == 0 && std::memcmp(&a.score, &b.score, 8) == 0 &&
         a.n_aligned == b.n_aligned && a.path_length == b.path_length;
}

}  // namespace

TEST(AlignPair, IdenticalDomainsStopAfterTwoCyclesOnThePerfectDiagonal) {
  const Domain mb = fixtures::structure("globin", "1mbn");
  ASSERT_EQ(mb.size(), 153u);
  for (const auto& res : {residues_of(helix(30)), mb.residues}) {
    const PairwiseAlignment r = align(res, res);
    ASSERT_EQ(r.n_aligned, res.size());
    for (std::size_t k = 0; k < res.size(); ++k) EXPECT_EQ(r.aligned_pairs[k], ResiduePair(k, k));
    EXPECT_EQ(r.score, 1.25);
    EXPECT_EQ(r.cycles, 2u);
    EXPECT_NEAR(r.rmsd, 0.0, 1e-9);
    EXPECT_NEAR(fixtures::det(r.transform.rotation), 1.0, 1e-12);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(r.transform.translation[i], 0.0, 1e-9);
    EXPECT_EQ(r.seq_identity, 100.0);
    EXPECT_EQ(r.path_length, res.size());
  }
}

TEST(AlignPair, ShortAndTinyStructures) {
  const PairwiseAlignment short_one = align(residues_of(helix(23)), residues_of(helix(23)));
  EXPECT_TRUE(short_one.aligned_pairs.empty());
  EXPECT_EQ(short_one.rmsd, 100.0);
  EXPECT_EQ(short_one.score, 0.0);
  EXPECT_EQ(short_one.cycles, 1u);

  for (std::size_t n : {0u, 1u, 2u}) {
    const PairwiseAlignment r = align(residues_of(helix(30)), residues_of(helix(n)));
    EXPECT_EQ(r.rmsd, kInf);
    EXPECT_EQ(r.score, 0.0);
    EXPECT_EQ(r.n_aligned, 0u);
    EXPECT_EQ(r.cycles, 0u);
    EXPECT_EQ(r.transform.rotation, identity3());
  }
}

TEST(AlignPair, MaxIterZeroRunsOneCycle) {
  AlignmentConfig cfg;
  cfg.max_iter = 0;
  const auto res = residues_of(helix(30));
  const PairwiseAlignment r = align(res, res, cfg);
  EXPECT_EQ(r.cycles, 1u);
  EXPECT_EQ(r.score, 1.25);
}

TEST(AlignPair, StoppingRuleBranchByBranch) {
  struct Case {
    double rmsd_change, score_change, last_rmsd;
    std::size_t core, min_length;
    std::uint64_t k;
    bool stop;
  };
  const Case cases[] = {
      {0.005, 0.5, 150.0, 10, 3, 1, true},   // RMSD settled, score settled
      {0.005, 5.0, 2.0, 10, 3, 1, true},     // RMSD settled, a fit exists
      {0.005, 5.0, 100.0, 10, 3, 1, false},  // RMSD settled but no fit, score moving
      {0.01, 5.0, 2.0, 10, 3, 1, true},      // the tolerance itself counts as settled
      {0.5, 1.0, 2.0, 10, 3, 1, true},       // score change equal to the limit
      {0.5, 5.0, 2.0, 10, 3, 1, false},      // a fit alone does not stop a moving RMSD
      {kInf, 5.0, 2.0, 10, 3, 1, false},
      {0.5, kNaN, 2.0, 10, 3, 1, false},
      {0.5, 5.0, 2.0, 10, 3, 100, true},     // iteration limit
      {0.5, 5.0, 2.0, 2, 3, 1, true},        // too few core pairs
      {0.5, 5.0, 2.0, 3, 3, 1, false},
      {0.5, 5.0, 2.0, 4, 5, 1, true},        // min_length above 3 raises the bar
  };
  for (const Case& c : cases) {
    CycleProgress p;
    p.rmsd_change = c.rmsd_change;
    p.score_change = c.score_change;
    CycleResult last;
    last.rmsd = c.last_rmsd;
    last.core_count = c.core;
    AlignmentConfig cfg;
    cfg.min_length = c.min_length;
    EXPECT_EQ(stop_before_cycle(p, last, c.k, cfg), c.stop)
        << c.rmsd_change << " " << c.score_change << " " << c.last_rmsd << " " << c.core << " " << c.k;
  }
}

TEST(AlignPair, ProgressKeepsTheRmsdChangeAcrossInfiniteValues) {
  CycleProgress p;
  p.update(1.25, 0.0);
  EXPECT_EQ(p.score_change, 100.0);
  EXPECT_EQ(p.rmsd_change, kInf);  // the previous RMSD was infinite
  p.update(1.0, 0.5);
  EXPECT_DOUBLE_EQ(p.score_change, 25.0);
  EXPECT_EQ(p.rmsd_change, 0.5);
  p.update(0.0, 100.0);
  EXPECT_EQ(p.score_change, 0.0);  // a zero score counts as no change
  EXPECT_EQ(p.rmsd_change, 99.5);
  p.update(0.5, kInf);
  EXPECT_EQ(p.rmsd_change, 99.5);
}

TEST(SeqIdentity, CountsPairsInRunsOfClosePairs) {
  const std::vector<ResiduePair> pairs = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}};
  const struct {
    std::vector<double> distance;
    std::u32string second;
    double cutoff, expected;
  } cases[] = {
      {{1, 1, 1, 1, 1}, U"ACXEF", 4.5, 80.0},
      {{1, 9, 1, 1, 1}, U"ACXEF", 4.5, 100.0 * 2 / 3},  // only positions 2, 3, 4 have two close neighbours
      {{1, 1, 9, 1, 1}, U"ACDEF", 4.5, 0.0},            // every run is too short
      {{1, 1, 1, 1, 1}, U"ACDEF", 0.5, 0.0},            // nothing is close enough
      {{9, 1, 1, 1, 1}, U"XCDEF", 4.5, 100.0},          // position 0 is too far itself
      {{4.5, 4.5, 4.5, 9, 9}, U"ACDXY", 4.5, 100.0},    // the cutoff itself counts
      {{1, 1, kNaN, 1, 1}, U"ACDEF", 4.5, 0.0},         // NaN is never close
  };
  for (const auto& c : cases)
    EXPECT_DOUBLE_EQ(seq_identity_percent(pairs, c.distance, U"ACDEF", c.second, c.cutoff), c.expected);
}

namespace {

// Percentage of aligned pairs with equal residue types, for alignments whose
// pairs all lie within the cutoff: then every pair is counted.
double identity_over_pairs(const Domain& a, const Domain& b, const std::vector<ResiduePair>& pairs) {
  std::size_t same = 0;
  for (auto [i, j] : pairs) same += a.residues[i].residue_type == b.residues[j].residue_type;
  return 100.0 * double(same) / double(pairs.size());
}

double farthest_pair(const Domain& a, const Domain& b, const std::vector<ResiduePair>& pairs, const Transform& t) {
  double far = 0.0;
  for (auto [i, j] : pairs) {
    const Vec3 d = a.residues[i].position() - t.apply(b.residues[j].position());
    far = std::max(far, std::sqrt(dot(d, d)));
  }
  return far;
}

}  // namespace

TEST(SeqIdentity, MyoglobinsAreNearlyIdenticalOverTheirAlignedPairs) {
  const Domain ref = fixtures::structure("globin", "1mbn"), mob = fixtures::structure("globin", "5vzq");
  const auto start = scan_align(ref, mob, ScanConfig::from_parameters(Parameters{}));
  ASSERT_TRUE(start.ok());
  const Domain placed = pelda::moved(mob, start->transform);
  const PairwiseAlignment r = align(ref.residues, placed.residues, AlignmentConfig::from_parameters(Parameters{}));
  ASSERT_GT(r.n_aligned, 140u);
  ASSERT_LE(farthest_pair(ref, placed, r.aligned_pairs, r.transform), 10.5);
  EXPECT_DOUBLE_EQ(r.seq_identity, identity_over_pairs(ref, placed, r.aligned_pairs));
  EXPECT_NEAR(r.seq_identity, 98.6, 0.1);
  ASSERT_LE(farthest_pair(ref, mob, start->best->aligned_pairs, start->transform), 4.5);
  EXPECT_DOUBLE_EQ(start->seq_identity, identity_over_pairs(ref, mob, start->best->aligned_pairs) / 100.0);
}

TEST(SeqIdentity, MutatedCopyInAnotherFrameHasTheMutatedShare) {
  const Domain d = fixtures::structure("kringle", "1pk4");
  Domain mutant = pelda::moved(d, fixtures::rigid_motion());
  std::size_t changed = 0;
  for (std::size_t k = 0; k < mutant.size(); k += 7, ++changed)
    mutant.residues[k].residue_type = mutant.residues[k].residue_type == U'W' ? U'G' : U'W';
  const double expected = 100.0 * double(d.size() - changed) / double(d.size());

  const auto scanned = scan_align(d, mutant, ScanConfig::from_parameters(Parameters{}));
  ASSERT_TRUE(scanned.ok());
  ASSERT_EQ(scanned->n_aligned, d.size());
  EXPECT_DOUBLE_EQ(scanned->seq_identity * 100.0, expected);
  // The plain aligner on the copy put back in place sees the same pairs.
  const Domain placed = pelda::moved(mutant, scanned->transform);
  EXPECT_DOUBLE_EQ(align(d.residues, placed.residues).seq_identity, expected);
}

TEST(AlignPair, HomologuesGiveAProperRotationThatReproducesTheRmsd) {
  const Domain ref = fixtures::structure("globin", "1mbn"), mob = fixtures::structure("globin", "5vzq");
  // Start from the scan's superposition so the plain aligner has overlap to refine.
  const auto start = scan_align(ref, mob, ScanConfig::from_parameters(Parameters{}));
  ASSERT_TRUE(start.ok());
  const Domain placed = pelda::moved(mob, start->transform);
  const Domain before = placed;
  const PairwiseAlignment r = align(ref.residues, placed.residues);
  ASSERT_GT(r.n_aligned, 100u);
  EXPECT_GT(r.score, 0.5);
  EXPECT_NEAR(fixtures::det(r.transform.rotation), 1.0, 1e-12);
  double sum = 0.0;
  for (auto [i, j] : r.aligned_pairs) {
    const Vec3 d = ref.residues[i].position() - r.transform.apply(placed.residues[j].position());
    sum += dot(d, d);
  }
  EXPECT_NEAR(std::sqrt(sum / double(r.n_aligned)), r.rmsd, 1e-9);
  EXPECT_TRUE(same_bits(r, align(ref.residues, placed.residues)));  // run to run
  for (std::size_t k = 0; k < placed.size(); ++k) EXPECT_EQ(placed.residues[k].x, before.residues[k].x);
}

TEST(AlignPair, BadNumbersAndSettingsAlwaysReturn) {
  const auto good = residues_of(helix(40));
  auto nan = good, inf = good;
  nan[5].y = kNaN;
  for (auto& r : inf) r.x = kInf;
  EXPECT_TRUE(align_pair(good, nan, AlignmentConfig{}).ok());
  EXPECT_TRUE(align_pair(inf, good, AlignmentConfig{}).ok());

  AlignmentConfig e1_zero, negative_gap, huge_cutoff;
  e1_zero.e1 = 0.0;
  negative_gap.gap_penalty = -3.0;
  huge_cutoff.cutoff_dist = 1e30;
  EXPECT_TRUE(align_pair(good, good, e1_zero).ok());
  const PairwiseAlignment g = align(good, good, negative_gap);
  EXPECT_GE(g.cycles, 1u);
  const PairwiseAlignment h = align(good, good, huge_cutoff);
  EXPECT_EQ(h.rmsd, 100.0);
  EXPECT_EQ(h.score, 0.0);
}

TEST(Parameters, DerivedConfigurationsFollowTheFixedRules) {
  Parameters p;
  const AlignmentConfig a = AlignmentConfig::from_parameters(p);
  EXPECT_EQ(a.convergence_pct, 1.0);
  EXPECT_EQ(a.min_length, 3u);
  EXPECT_EQ(a.gap_penalty, 3.0);
  EXPECT_EQ(a.band_width, 100.0);
  EXPECT_EQ(a.cutoff_dist, 10.0);
  EXPECT_EQ(a.pair_cutoff, 10.5);
  EXPECT_EQ(a.e1, 2.0);
  EXPECT_EQ(a.e2, 5.0);
  EXPECT_EQ(a.norm_mean, 0.5);
  EXPECT_EQ(a.norm_sd, 0.4);
  EXPECT_EQ(a.rmsd_tolerance, 0.01);
  EXPECT_EQ(a.max_iter, 100u);
  EXPECT_EQ(a.precision, 1000u);

  p.convergence = 0.25;
  p.gap_open = -1.0;
  p.cutoff_dist = 4.0;
  p.n_passes = 3;
  const ScanConfig s = ScanConfig::from_parameters(p, 7);
  EXPECT_EQ(AlignmentConfig::from_parameters(p).convergence_pct, 25.0);
  EXPECT_EQ(s.slide, 7u);
  EXPECT_EQ(ScanConfig::from_parameters(p).slide, 5u);
  EXPECT_EQ(s.convergence, 0.25);  // not scaled here
  EXPECT_EQ(s.skip_score, 2.0);
  EXPECT_EQ(s.min_ratio, 0.5);
  EXPECT_EQ(s.max_ratio, 1.3);
  EXPECT_EQ(s.n_passes, 3u);
  EXPECT_TRUE(s.truncate && s.skip_ahead);

  const AlignmentConfig run = scan_run_config(s), refine = scan_refinement_config();
  EXPECT_EQ(run.convergence_pct, 25.0);
  EXPECT_EQ(run.gap_penalty, -1.0);
  EXPECT_EQ(run.cutoff_dist, 4.0);
  EXPECT_EQ(run.pair_cutoff, 4.5);
  EXPECT_EQ(run.min_length, 3u);
  EXPECT_EQ(refine.convergence_pct, 0.01);
  EXPECT_EQ(refine.gap_penalty, 0.0);
  EXPECT_EQ(refine.e1, 1.0);
  EXPECT_EQ(refine.e2, 2.5);
  EXPECT_EQ(refine.max_iter, 100u);
}
