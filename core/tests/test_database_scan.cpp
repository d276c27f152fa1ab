#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "pelda/scan/database_scan.hpp"
#include "pelda/scan/file_scan.hpp"

using namespace pelda;

namespace {

ScanHit scored(std::string id, double score) {
  ScanHit h;
  h.target_id = std::move(id);
  h.score = score;
  return h;
}

std::vector<ScanHit> scored_list(const std::vector<double>& scores) {
  std::vector<ScanHit> hits;
  for (std::size_t k = 0; k < scores.size(); ++k) {
    std::string id = "t";
    id += std::to_string(k);  // not "t" + ...: GCC 12 warns falsely (-Wrestrict) on that
    hits.push_back(scored(std::move(id), scores[k]));
  }
  return hits;
}

ScanOptions options(double cutoff = 0.0, std::size_t max_hits = 100, bool scan_mode = true, bool quick = false) {
  ScanOptions o;
  o.score_cutoff = cutoff;
  o.max_hits = max_hits;
  o.scan_mode = scan_mode;
  o.quick = quick;
  return o;
}

std::vector<std::string> ids(const std::vector<ScanHit>& hits) {
  std::vector<std::string> out;
  for (const ScanHit& h : hits) out.push_back(h.target_id);
  return out;
}

// A chain-like trace: 3.8 A steps whose direction wanders, residue types cycling.
Domain chain_domain(std::string id, std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> turn(0.0, 0.6);
  Domain d = make_domain(std::move(id));
  Vec3 p{0, 0, 0}, dir{1, 0, 0};
  const std::u32string types = U"ACDEFGHIKLMNPQRSTVWY";
  for (std::size_t i = 0; i < n; ++i) {
    Residue r;
    r.label = std::to_string(i + 1);
    r.x = p.x, r.y = p.y, r.z = p.z;
    r.residue_type = types[(i * 7 + seed) % types.size()];
    r.index = std::uint32_t(i);
    d.residues.push_back(r);
    dir = {dir.x + turn(rng), dir.y + turn(rng), dir.z + turn(rng)};
    const double len = std::sqrt(dot(dir, dir));
    dir = {dir.x / len, dir.y / len, dir.z / len};
    p = {p.x + 3.8 * dir.x, p.y + 3.8 * dir.y, p.z + 3.8 * dir.z};
  }
  return d;
}

}  // namespace

// ---------------------------------------------------------------------------
// Ranking and statistics

TEST(RankHits, ThreeTargetsRankStablyWithPopulationZScores) {
  const auto hits = rank_hits(scored_list({5.0, 7.0, 5.0}), options());
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(ids(hits), (std::vector<std::string>{"t1", "t0", "t2"}));
  const double sd = std::sqrt(8.0 / 9.0);  // population sd of {5, 7, 5}
  EXPECT_NEAR(sd, 0.9428, 1e-4);
  const double expected[] = {(7.0 - 17.0 / 3) / sd, (5.0 - 17.0 / 3) / sd, (5.0 - 17.0 / 3) / sd};
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(hits[k].rank, k + 1);
    ASSERT_TRUE(hits[k].z_score.has_value());
    EXPECT_NEAR(*hits[k].z_score, expected[k], 1e-12);
    EXPECT_FALSE(hits[k].e_value.has_value());
  }
  EXPECT_NEAR(*hits[0].z_score, 1.414, 1e-3);
  EXPECT_NEAR(*hits[1].z_score, -0.707, 1e-3);
}

TEST(RankHits, TruncationHappensBeforeStatistics) {
  const auto hits = rank_hits(scored_list({5.0, 7.0, 5.0}), options(0.0, 2));
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(ids(hits), (std::vector<std::string>{"t1", "t0"}));
  EXPECT_DOUBLE_EQ(*hits[0].z_score, 1.0);
  EXPECT_DOUBLE_EQ(*hits[1].z_score, -1.0);
}

TEST(RankHits, StableOrderForManyEqualScores) {
  // Enough elements that an unstable sort would reorder equal keys.
  std::vector<double> scores;
  for (int k = 0; k < 200; ++k) scores.push_back(k % 3 == 0 ? 2.0 : 1.0);
  const auto hits = rank_hits(scored_list(scores), options(0.0, 1000));
  ASSERT_EQ(hits.size(), 200u);
  for (std::size_t k = 1; k < hits.size(); ++k) {
    if (hits[k - 1].score == hits[k].score) {
      EXPECT_LT(std::stoi(hits[k - 1].target_id.substr(1)), std::stoi(hits[k].target_id.substr(1)));
    }
    EXPECT_GE(hits[k - 1].score, hits[k].score);
    EXPECT_EQ(hits[k].rank, k + 1);
  }
}

struct NoZCase {
  const char* name;
  std::vector<double> scores;
  std::size_t kept;
};

class RankHitsWithoutZ : public ::testing::TestWithParam<NoZCase> {};

TEST_P(RankHitsWithoutZ, LeavesZScoreAbsent) {
  const auto hits = rank_hits(scored_list(GetParam().scores), options());
  ASSERT_EQ(hits.size(), GetParam().kept);
  for (const ScanHit& h : hits) {
    EXPECT_FALSE(h.z_score.has_value());
    EXPECT_FALSE(h.e_value.has_value());
  }
  if (!hits.empty()) {
    EXPECT_EQ(hits[0].rank, 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RankHitsWithoutZ,
                         ::testing::Values(NoZCase{"equal_pair", {3.0, 3.0}, 2}, NoZCase{"single", {4.2}, 1},
                                           NoZCase{"tiny_spread", {1.0, 1.0 + 1e-12}, 2},
                                           NoZCase{"empty", {}, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RankHits, CutoffKeepsEqualScoresAndDropsNaN) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const auto hits = rank_hits(scored_list({nan, 1.5, 0.99, 1.0, nan}), options(1.0));
  EXPECT_EQ(ids(hits), (std::vector<std::string>{"t1", "t3"}));
  EXPECT_TRUE(rank_hits(scored_list({nan, 0.0}), options(nan)).empty());
  EXPECT_TRUE(rank_hits(scored_list({1.0, 2.0}), options(1e9)).empty());
}

// ---------------------------------------------------------------------------
// Scans through the aligner

TEST(RunScan, QuickSelfScanMatchesEveryResidueType) {
  const Domain query = chain_domain("q", 50, 5);
  const auto r = run_scan(query, {query}, Parameters{}, options(0.0, 100, false, true));
  ASSERT_TRUE(r.ok()) << r.error().text();
  ASSERT_EQ(r->size(), 1u);
  EXPECT_DOUBLE_EQ(r->front().seq_identity, 1.0);
  EXPECT_EQ(r->front().n_aligned, 50u);
  EXPECT_NEAR(r->front().score, 1.25, 1e-12);
  EXPECT_NEAR(r->front().rmsd, 0.0, 1e-6);
}

TEST(RunScan, QuickModeHasNoMinimumLength) {
  const Domain query = chain_domain("q", 40, 6);
  std::vector<Domain> targets{chain_domain("two", 2, 7), make_domain("none")};
  const auto r = run_scan(query, targets, Parameters{}, options(0.0, 100, false, true));
  ASSERT_TRUE(r.ok()) << r.error().text();
  ASSERT_EQ(r->size(), 2u);
  for (const ScanHit& h : *r) {
    EXPECT_EQ(h.score, 0.0);
    EXPECT_EQ(h.rmsd, 100.0);  // the empty cycle, not the empty alignment
    EXPECT_EQ(h.n_aligned, 0u);
    EXPECT_EQ(h.seq_identity, 0.0);
  }
  EXPECT_EQ(ids(*r), (std::vector<std::string>{"two", "none"}));
}

TEST(RunScan, SelfRanksFirstInEveryMode) {
  const Domain query = chain_domain("q", 48, 10);
  const std::vector<Domain> targets{chain_domain("a", 48, 11), query, chain_domain("b", 52, 12)};
  for (const auto& o : {options(0.0, 100, true), options(0.0, 100, false, false), options(0.0, 100, false, true)}) {
    const auto r = run_scan(query, targets, Parameters{}, o);
    ASSERT_TRUE(r.ok()) << r.error().text();
    ASSERT_FALSE(r->empty());
    EXPECT_EQ(r->front().target_id, "q");
    EXPECT_NEAR(r->front().score, 1.25, 1e-9);
    for (std::size_t k = 0; k < r->size(); ++k) EXPECT_EQ((*r)[k].rank, k + 1);
  }
}

TEST(RunScan, EmptyQueryScoresZeroInEveryMode) {
  const Domain empty = make_domain("empty");
  const std::vector<Domain> targets{chain_domain("a", 30, 13), empty};
  struct Mode {
    ScanOptions opts;
    double rmsd;  // what "nothing aligned" reports in that mode
  };
  const double inf = std::numeric_limits<double>::infinity();
  for (const Mode& mode : {Mode{options(0.0, 100, true), inf}, Mode{options(0.0, 100, false, false), inf},
                           Mode{options(0.0, 100, false, true), 100.0}}) {
    const auto r = run_scan(empty, targets, Parameters{}, mode.opts);
    ASSERT_TRUE(r.ok()) << r.error().text();
    ASSERT_EQ(r->size(), 2u);
    for (const ScanHit& h : *r) {
      EXPECT_EQ(h.score, 0.0);
      EXPECT_EQ(h.rmsd, mode.rmsd);
      EXPECT_EQ(h.n_aligned, 0u);
      EXPECT_FALSE(h.z_score.has_value());
    }
  }
}

// ---------------------------------------------------------------------------
// Scans in batches

namespace {

struct BatchCase {
  std::size_t batch;
  std::size_t max_hits;
  double cutoff;
};

class ScanBatch : public ::testing::TestWithParam<BatchCase> {};

}  // namespace

// Whatever the batch size, the kept hits of every batch ranked together are
// run_scan's result over the readable targets; unreadable ones are reported
// with their path and global index.
TEST_P(ScanBatch, UnionOfKeptHitsRanksAsRunScan) {
  const BatchCase c = GetParam();
  const Domain query = chain_domain("q", 40, 21);
  std::vector<std::string> paths;
  std::vector<Domain> readable;
  for (unsigned k = 0; k < 23; ++k) {
    paths.push_back(std::string("t").append(std::to_string(k)));  // operator+ trips a false -Wrestrict
    if (k % 5 == 3) continue;  // unreadable
    // Repeated structures give equal scores across batch boundaries.
    readable.push_back(chain_domain(paths.back(), 30 + k % 4 * 5, 30 + k % 4));
  }
  const DomainReader read = [&](const std::string& path) -> Result<Domain> {
    for (const Domain& d : readable)
      if (d.id == path) return d;
    return make_error(ErrorKind::Io, "cannot open " + path);
  };
  const ScanOptions o = options(c.cutoff, c.max_hits, false, true);
  std::vector<KeptHit> kept;
  std::vector<std::size_t> skipped;
  for (std::size_t first = 0; first < paths.size(); first += c.batch) {
    const std::vector<std::string> part(paths.begin() + std::ptrdiff_t(first),
                                        paths.begin() + std::ptrdiff_t(std::min(paths.size(), first + c.batch)));
    RunControl control;
    control.threads = 2;
    const auto b = scan_batch(query, part, first, Parameters{}, o, read, control);
    ASSERT_TRUE(b.ok()) << b.error().text();
    EXPECT_LE(b->hits.size(), c.max_hits);
    kept.insert(kept.end(), b->hits.begin(), b->hits.end());
    for (const SkippedTarget& s : b->skipped) {
      EXPECT_EQ(s.path, paths[s.target]);
      skipped.push_back(s.target);
    }
  }
  EXPECT_EQ(skipped, (std::vector<std::size_t>{3, 8, 13, 18}));
  std::vector<ScanHit> hits;
  for (std::size_t k = 0; k < kept.size(); ++k) {
    if (k > 0) {
      ASSERT_LT(kept[k - 1].target, kept[k].target);
    }
    EXPECT_EQ(kept[k].hit.target_id, paths[kept[k].target]);
    hits.push_back(kept[k].hit);
  }
  const auto expected = run_scan(query, readable, Parameters{}, o);
  ASSERT_TRUE(expected.ok());
  const std::vector<ScanHit> got = rank_hits(hits, o);
  ASSERT_EQ(ids(got), ids(*expected));
  for (std::size_t k = 0; k < got.size(); ++k) {
    EXPECT_EQ(got[k].score, (*expected)[k].score);
    EXPECT_EQ(got[k].z_score, (*expected)[k].z_score);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ScanBatch,
                         ::testing::Values(BatchCase{1, 100, 0.0}, BatchCase{4, 3, 0.0}, BatchCase{7, 5, 0.3},
                                           BatchCase{50, 2, 0.0}));
