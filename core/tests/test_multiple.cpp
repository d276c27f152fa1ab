#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <algorithm>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "pelda/clustering/guide_tree.hpp"
#include "pelda/io/pdb_reader.hpp"
#include "pelda/pairwise/pairwise_matrix.hpp"
#include "pelda/scan/scan_align.hpp"
#include "pelda/treewise/multiple_alignment.hpp"
#include "pelda/treewise/treewise.hpp"

using namespace pelda;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Domain domain_of_length(std::size_t length) {
  Domain d = make_domain(std::string("d").append(std::to_string(length)));
  for (std::size_t r = 0; r < length; ++r) {
    Residue res;
    res.label = std::to_string(r + 1);
    res.x = double(r) * 3.8;
    res.index = std::uint32_t(r);
    d.residues.push_back(res);
  }
  return d;
}

std::vector<Domain> domains_of_lengths(const std::vector<std::size_t>& lengths) {
  std::vector<Domain> out;
  for (std::size_t l : lengths) out.push_back(domain_of_length(l));
  return out;
}

PairwiseAlignment stored(double score, std::vector<ResiduePair> pairs = {}, double rmsd = 1.0) {
  PairwiseAlignment a;
  a.score = score;
  a.rmsd = rmsd;
  a.n_aligned = pairs.size();
  a.aligned_pairs = std::move(pairs);
  return a;
}

// Scores only, no pairs: what the clustering reads.
PairwiseMatrix scored(std::size_t n, const std::vector<std::vector<double>>& upper_scores) {
  PairwiseMatrix m(std::vector<std::size_t>(n, 0));
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j) m.set(i, j, stored(upper_scores[i][j]));
  return m;
}

// "(0 (1 2))"-style text of a subtree, leaves by domain index.
std::string shape(const GuideTree& t, NodeId id) {
  const GuideTreeNode& node = t[id];
  if (node.leaf) return std::to_string(node.domain);
  std::string text = "(";
  text.append(shape(t, node.left)).append(" ").append(shape(t, node.right)).append(")");
  return text;
}

std::string tree_shape(const PairwiseMatrix& m) {
  Result<GuideTree> t = build_guide_tree(m);
  EXPECT_TRUE(t.ok()) << (t.ok() ? "" : t.error().text());
  return t.ok() ? shape(*t, t->root) : "";
}

// Columns as text, "0,-" per column: the worked examples read this way.
std::vector<std::string> column_text(const std::vector<Column>& columns) {
  std::vector<std::string> out;
  for (const Column& c : columns) {
    std::string s;
    for (std::size_t d = 0; d < c.size(); ++d) {
      if (d > 0) s += ",";
      s += c[d] ? std::to_string(*c[d]) : "-";
    }
    out.push_back(s);
  }
  return out;
}

// Every residue of every domain exactly once, rising from column to column.
void expect_column_invariants(const std::vector<Column>& columns, const std::vector<Domain>& domains) {
  for (std::size_t d = 0; d < domains.size(); ++d) {
    std::vector<std::size_t> seen;
    for (const Column& c : columns) {
      ASSERT_EQ(c.size(), domains.size());
      if (c[d]) seen.push_back(*c[d]);
    }
    ASSERT_EQ(seen.size(), domains[d].size()) << "domain " << d;
    for (std::size_t k = 0; k < seen.size(); ++k) EXPECT_EQ(seen[k], k) << "domain " << d;
  }
}

ClusterAlignment align_root(const std::vector<Domain>& domains, const PairwiseMatrix& m) {
  Result<GuideTree> t = build_guide_tree(m);
  EXPECT_TRUE(t.ok());
  return align_cluster(*t, t->root, domains, domains.size(), m);
}

}  // namespace

// ---------------------------------------------------------------------------
// Pairwise matrix

TEST(PairwiseMatrix, MirrorAndSelfEntriesFollowFromTheStoredRun) {
  PairwiseMatrix m({3, 4});
  PairwiseAlignment a = stored(0.7, {{0, 1}, {2, 3}}, 1.5);
  a.transform.translation = {1, 2, 3};
  m.set(0, 1, a);

  const PairwiseAlignment mirror = m.entry(1, 0);
  EXPECT_EQ(mirror.aligned_pairs, (std::vector<ResiduePair>{{1, 0}, {3, 2}}));
  EXPECT_EQ(mirror.score, 0.7);
  EXPECT_EQ(mirror.rmsd, 1.5);
  EXPECT_EQ(mirror.transform.translation.x, -1.0);
  EXPECT_EQ(m.pairs(1, 0), mirror.aligned_pairs);
  EXPECT_EQ(m.entry(0, 1).aligned_pairs, a.aligned_pairs);

  for (std::size_t i : {0u, 1u}) {
    const PairwiseAlignment self = m.entry(i, i);
    EXPECT_EQ(self.score, 1.0);
    EXPECT_EQ(self.rmsd, 0.0);
    EXPECT_EQ(self.seq_identity, 100.0);
    EXPECT_EQ(self.n_aligned, m.length(i));
    ASSERT_EQ(self.aligned_pairs.size(), m.length(i));
    for (std::size_t k = 0; k < m.length(i); ++k) EXPECT_EQ(self.aligned_pairs[k], ResiduePair(k, k));
  }
}

TEST(PairwiseMatrix, UpperEntriesAreIndependent) {
  PairwiseMatrix m(std::vector<std::size_t>(5, 1));
  for (std::size_t i = 0; i < 5; ++i)
    for (std::size_t j = i + 1; j < 5; ++j) m.set(i, j, stored(double(10 * i + j)));
  for (std::size_t i = 0; i < 5; ++i)
    for (std::size_t j = 0; j < 5; ++j)
      EXPECT_EQ(m.score(i, j), i == j ? 1.0 : double(10 * std::min(i, j) + std::max(i, j)));
}

// ---------------------------------------------------------------------------
// Guide tree

struct TreeCase {
  const char* name;
  std::size_t n;
  std::vector<std::vector<double>> scores;  // upper triangle used
  const char* shape;
};

class GuideTreeShape : public testing::TestWithParam<TreeCase> {};

TEST_P(GuideTreeShape, Merges) {
  const TreeCase& c = GetParam();
  EXPECT_EQ(tree_shape(scored(c.n, c.scores)), c.shape);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GuideTreeShape,
    testing::Values(
        TreeCase{"two", 2, {{0, 0.3}, {0, 0}}, "(0 1)"},
        TreeCase{"three_worked_example", 3, {{0, 5, 2}, {0, 0, 2}, {0, 0, 0}}, "((0 1) 2)"},
        // D01 = D23 = D02 = 1 (maxS 5): the first pair in row-major order wins.
        TreeCase{"ties_row_major", 4, {{0, 4, 4, 1}, {0, 0, 2, 1}, {0, 0, 0, 4}, {0, 0, 0, 0}}, "((0 1) (2 3))"},
        // The lower slot is the left child even when it merges later.
        TreeCase{"left_is_lower_slot", 3, {{0, 1, 1}, {0, 0, 9}, {0, 0, 0}}, "(0 (1 2))"},
        // Sizes weight the average: {0,1} vs 3 averages 6 and 0 into 3, beating 2-3 at 3.5.
        TreeCase{"size_weighted", 4, {{0, 9, 3, 3}, {0, 0, 3, 9}, {0, 0, 0, 5.5}, {0, 0, 0, 0}}, "(((0 1) 3) 2)"},
        // Every score below the self-score 1.0: distances from 1.0, same tree.
        TreeCase{"scores_below_one", 3, {{0, 0.2, 0.5}, {0, 0, 0.1}, {0, 0, 0}}, "((0 2) 1)"},
        TreeCase{"chain", 4, {{0, 9, 8, 7}, {0, 0, 8, 7}, {0, 0, 0, 7}, {0, 0, 0, 0}}, "(((0 1) 2) 3)"}),
    [](const testing::TestParamInfo<TreeCase>& p) { return p.param.name; });

TEST(GuideTree, SingleDomainIsALeaf) { EXPECT_EQ(tree_shape(scored(1, {{0}})), "0"); }

TEST(GuideTree, NoFiniteDistanceIsAnErrorNotACrash) {
  // A NaN pair is never merged directly, and once its ends sit in two
  // clusters their average distance is NaN too; +inf makes maxS infinite
  // and every distance inf - score; -inf leaves an infinite distance.
  const std::vector<PairwiseMatrix> cases = {
      scored(3, {{0, kNaN, 2}, {0, 0, 1}, {0, 0, 0}}),
      scored(2, {{0, kNaN}, {0, 0}}),
      scored(3, {{0, kInf, 1}, {0, 0, 1}, {0, 0, 0}}),
      scored(2, {{0, -kInf}, {0, 0}}),
  };
  for (const PairwiseMatrix& m : cases) {
    Result<GuideTree> t = build_guide_tree(m);
    ASSERT_FALSE(t.ok());
    EXPECT_EQ(t.error().kind, ErrorKind::Value);
    EXPECT_NE(t.error().text().find("no finite distance"), std::string::npos);
  }
}

// ---------------------------------------------------------------------------
// Treewise columns

struct MergeCase {
  const char* name;
  std::vector<std::size_t> lengths;
  std::vector<ResiduePair> pairs;
  std::vector<std::string> columns;
};

class TwoDomainMerge : public testing::TestWithParam<MergeCase> {};

TEST_P(TwoDomainMerge, Columns) {
  const MergeCase& c = GetParam();
  PairwiseMatrix m(c.lengths);
  m.set(0, 1, stored(1.0, c.pairs));
  const std::vector<Domain> domains = domains_of_lengths(c.lengths);
  const ClusterAlignment a = align_root(domains, m);
  EXPECT_EQ(column_text(a.columns), c.columns);
  EXPECT_EQ(a.members, (std::vector<std::size_t>{0, 1}));
  expect_column_invariants(a.columns, domains);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TwoDomainMerge,
    testing::Values(MergeCase{"gap_in_second", {3, 4}, {{0, 0}, {1, 2}, {2, 3}}, {"0,0", "-,1", "1,2", "2,3"}},
                    MergeCase{"overhangs", {3, 2}, {{2, 0}}, {"0,-", "1,-", "2,0", "-,1"}},
                    MergeCase{"no_pairs", {2, 2}, {}, {"0,-", "1,-", "-,0", "-,1"}},
                    MergeCase{"empty_domain", {0, 2}, {}, {"-,0", "-,1"}},
                    // Positions past the end of one side merge nothing.
                    MergeCase{"pair_past_end", {2, 3}, {{0, 0}, {5, 1}}, {"0,0", "1,-", "-,1", "-,2"}}),
    [](const testing::TestParamInfo<MergeCase>& p) { return p.param.name; });

TEST(Treewise, RepresentativePairIsChosenAcrossMembersByScore) {
  // Tree ((0 1) 2); s02 = s12 = 4, so (0, 2) guides and 1's pairs are ignored.
  PairwiseMatrix m({2, 2, 2});
  m.set(0, 1, stored(9, {{0, 0}, {1, 1}}));
  m.set(0, 2, stored(4, {{1, 0}}));
  m.set(1, 2, stored(4, {{0, 0}, {1, 1}}));
  const std::vector<Domain> domains = domains_of_lengths({2, 2, 2});
  const ClusterAlignment a = align_root(domains, m);
  EXPECT_EQ(column_text(a.columns), (std::vector<std::string>{"0,0,-", "1,1,0", "-,-,1"}));
  EXPECT_EQ(a.members, (std::vector<std::size_t>{0, 1, 2}));
}

TEST(Treewise, MirrorPairsGuideWhenTheRightMemberIsLower) {
  // Tree ((0 2) 1): the guide is entry [2][1] seen from 2, i.e. reversed.
  PairwiseMatrix m({3, 3, 3});
  m.set(0, 1, stored(1, {}));
  m.set(0, 2, stored(9, {{0, 0}, {1, 1}, {2, 2}}));
  m.set(1, 2, stored(5, {{0, 2}}));
  const std::vector<Domain> domains = domains_of_lengths({3, 3, 3});
  const ClusterAlignment a = align_root(domains, m);
  EXPECT_EQ(a.members, (std::vector<std::size_t>{0, 2, 1}));
  EXPECT_EQ(column_text(a.columns), (std::vector<std::string>{"0,-,0", "1,-,1", "2,0,2", "-,1,-", "-,2,-"}));
}

TEST(Treewise, RandomMatricesKeepTheColumnInvariants) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t n = 2 + rng() % 7;
    std::vector<std::size_t> lengths;
    for (std::size_t i = 0; i < n; ++i) lengths.push_back(rng() % 12);
    PairwiseMatrix m(lengths);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = i + 1; j < n; ++j) {
        std::vector<ResiduePair> pairs;
        for (std::size_t x = 0, y = rng() % 3; x < lengths[i] && y < lengths[j]; x += 1 + rng() % 2, y += 1 + rng() % 2)
          if (rng() % 4) pairs.emplace_back(x, y);
        m.set(i, j, stored(double(rng() % 5), pairs));
      }
    }
    const std::vector<Domain> domains = domains_of_lengths(lengths);
    Result<MultipleAlignment> r = multiple_from_matrix(domains, m);
    ASSERT_TRUE(r.ok());
    expect_column_invariants(r->columns, domains);
    std::vector<std::size_t> core;
    for (std::size_t c = 0; c < r->columns.size(); ++c) {
      bool all = true;
      for (std::size_t d = 0; d < n; ++d) all = all && r->columns[c][d].has_value();
      if (all) core.push_back(c);
    }
    EXPECT_EQ(r->core_positions, core);
  }
}

TEST(Treewise, ThousandDomainChainNeedsNoDeepStack) {
  // score(i, j) = -j makes every merge add the next domain to one growing
  // cluster: a tree of height 999.
  const std::size_t n = 1000;
  PairwiseMatrix m(std::vector<std::size_t>(n, 2));
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = i + 1; j < n; ++j) m.set(i, j, stored(-double(j), {{0, 0}, {1, 1}}));
  Result<GuideTree> t = build_guide_tree(m);
  ASSERT_TRUE(t.ok());
  std::size_t height = 0;
  for (NodeId id = t->root; !(*t)[id].leaf; id = (*t)[id].left) ++height;
  EXPECT_EQ(height, n - 1);

  const std::vector<Domain> domains = domains_of_lengths(std::vector<std::size_t>(n, 2));
  const ClusterAlignment a = align_cluster(*t, t->root, domains, n, m);
  ASSERT_EQ(a.columns.size(), 2u);
  EXPECT_TRUE(a.columns[0].complete() && a.columns[1].complete());
  expect_column_invariants(a.columns, domains);
}

// ---------------------------------------------------------------------------
// Multiple alignment record

TEST(MultipleAlignment, IdenticalPairIsAllCore) {
  std::vector<ResiduePair> diagonal;
  for (std::size_t k = 0; k < 30; ++k) diagonal.emplace_back(k, k);
  PairwiseMatrix m({30, 30});
  m.set(0, 1, stored(1.25, diagonal, 0.25));
  Result<MultipleAlignment> r = multiple_from_matrix(domains_of_lengths({30, 30}), m);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->n_columns(), 30u);
  EXPECT_EQ(r->n_core(), 30u);
  EXPECT_EQ(r->score, 1.0);
  EXPECT_EQ(r->avg_rmsd, 0.25);
}

TEST(MultipleAlignment, OverhangsAreNotCore) {
  // Domain 0 has two residues before its first aligned one, domain 1 two after its last.
  PairwiseMatrix m({5, 5});
  m.set(0, 1, stored(1.0, {{2, 0}, {3, 1}, {4, 2}}));
  Result<MultipleAlignment> r = multiple_from_matrix(domains_of_lengths({5, 5}), m);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(column_text(r->columns), (std::vector<std::string>{"0,-", "1,-", "2,0", "3,1", "4,2", "-,3", "-,4"}));
  EXPECT_EQ(r->core_positions, (std::vector<std::size_t>{2, 3, 4}));
  EXPECT_DOUBLE_EQ(r->score, 3.0 / 7.0);
  ASSERT_EQ(r->transforms.size(), 2u);
  for (const Transform& t : r->transforms) {
    EXPECT_EQ(t.rotation, identity3());
    EXPECT_EQ(t.translation.x, 0.0);
  }
}

TEST(MultipleAlignment, AverageRmsdOverPairs) {
  PairwiseMatrix m({1, 1, 1});
  m.set(0, 1, stored(1, {}, 1.0));
  m.set(0, 2, stored(1, {}, 2.0));
  m.set(1, 2, stored(1, {}, 6.0));
  Result<MultipleAlignment> r = multiple_from_matrix(domains_of_lengths({1, 1, 1}), m);
  ASSERT_TRUE(r.ok());
  EXPECT_DOUBLE_EQ(r->avg_rmsd, 3.0);

  m.set(1, 2, stored(1, {}, kInf));  // a pair too short to align
  EXPECT_EQ(multiple_from_matrix(domains_of_lengths({1, 1, 1}), m)->avg_rmsd, kInf);
}

TEST(MultipleAlignment, NoColumnsScoresZero) {
  PairwiseMatrix m({0, 0});
  Result<MultipleAlignment> r = multiple_from_matrix(domains_of_lengths({0, 0}), m);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->n_columns(), 0u);
  EXPECT_EQ(r->score, 0.0);
}

TEST(MultipleAlignment, FewerThanTwoDomainsRunNoAlignment) {
  Result<MultipleAlignment> none = align_multiple({}, Parameters{});
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->transforms.empty() && none->columns.empty() && none->core_positions.empty());
  EXPECT_EQ(none->score, 0.0);
  EXPECT_EQ(none->avg_rmsd, 0.0);

  Result<MultipleAlignment> one = align_multiple(domains_of_lengths({4}), Parameters{});
  ASSERT_TRUE(one.ok());
  EXPECT_EQ(one->transforms.size(), 1u);
  EXPECT_EQ(column_text(one->columns), (std::vector<std::string>{"0", "1", "2", "3"}));
  EXPECT_EQ(one->core_positions, (std::vector<std::size_t>{0, 1, 2, 3}));
  EXPECT_EQ(one->score, 0.0);
}

TEST(MultipleAlignment, ScoresWithoutFiniteDistanceFail) {
  PairwiseMatrix m({2, 2});
  m.set(0, 1, stored(kNaN, {{0, 0}}));
  Result<MultipleAlignment> r = multiple_from_matrix(domains_of_lengths({2, 2}), m);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ErrorKind::Value);
}

// ---------------------------------------------------------------------------
// With the real aligner

namespace {

Domain kringle() {
  Result<Domain> d = read_pdb_domain(std::string(OVELT_TEST_DATA) + "/structures/kringle/1pk4.pdb", std::nullopt);
  EXPECT_TRUE(d.ok());
  return d.ok() ? *d : Domain{};
}

Domain shifted(Domain d, double dx) {
  for (Residue& r : d.residues) r.x += dx;
  return d;
}

}  // namespace

TEST(PairwiseMatrix, AlignsEachPairInTheGivenFrames) {
  const Domain d = kringle();
  ASSERT_GT(d.size(), 24u);
  Result<PairwiseMatrix> m = build_pairwise_matrix({d, d, shifted(d, 60.0)}, Parameters{});
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m->score(0, 1), 1.25);
  EXPECT_NEAR(m->rmsd(0, 1), 0.0, 1e-9);
  ASSERT_EQ(m->pairs(1, 0).size(), d.size());
  EXPECT_EQ(m->pairs(1, 0)[5], ResiduePair(5, 5));
  // No starting search: a copy moved far away does not align.
  EXPECT_EQ(m->score(0, 2), 0.0);
  EXPECT_EQ(m->score(2, 1), 0.0);
  EXPECT_TRUE(m->pairs(0, 2).empty());
}

TEST(MultipleAlignment, SameDomainTwiceIsAllCore) {
  const Domain d = kringle();
  Result<MultipleAlignment> r = align_multiple({d, d}, Parameters{});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->n_columns(), d.size());
  EXPECT_EQ(r->n_core(), d.size());
  EXPECT_EQ(r->score, 1.0);
  EXPECT_NEAR(r->avg_rmsd, 0.0, 1e-9);
}

namespace {

// Every structure of a shipped family, moved onto the first by the scan-mode
// search as a caller would before a multiple alignment.
std::vector<Domain> prealigned_family(const std::string& family) {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(std::string(OVELT_TEST_DATA) + "/structures/" + family))
    files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  std::vector<Domain> out;
  for (const std::string& f : files) {
    Result<Domain> d = read_pdb_domain(f, std::nullopt);
    EXPECT_TRUE(d.ok()) << f;
    if (!d.ok()) return {};
    if (!out.empty()) {
      Result<ScanOutcome> o = scan_align(out.front(), *d, ScanConfig{});
      EXPECT_TRUE(o.ok());
      for (Residue& r : d->residues) {
        const Vec3 p = o->transform.apply(r.position());
        r.x = p.x, r.y = p.y, r.z = p.z;
      }
    }
    out.push_back(std::move(*d));
  }
  return out;
}

std::vector<std::size_t> leaves(const GuideTree& t, NodeId id) {
  if (t[id].leaf) return {t[id].domain};
  std::vector<std::size_t> out = leaves(t, t[id].left);
  const std::vector<std::size_t> right = leaves(t, t[id].right);
  out.insert(out.end(), right.begin(), right.end());
  return out;
}

bool holds_any(const Column& c, const std::vector<std::size_t>& members) {
  return std::any_of(members.begin(), members.end(), [&](std::size_t d) { return c.present(d); });
}

}  // namespace

class FamilyColumns : public testing::TestWithParam<const char*> {};

// A column joins two subtrees only where the stored alignment between their
// best-scoring pair of members aligns the two residues it holds of that pair.
TEST_P(FamilyColumns, EveryJoinComesFromAnAlignedPair) {
  const std::vector<Domain> domains = prealigned_family(GetParam());
  ASSERT_GE(domains.size(), 3u);
  Result<PairwiseMatrix> m = build_pairwise_matrix(domains, Parameters{});
  ASSERT_TRUE(m.ok());
  Result<GuideTree> t = build_guide_tree(*m);
  ASSERT_TRUE(t.ok());
  const std::vector<Column> columns = align_cluster(*t, t->root, domains, domains.size(), *m).columns;
  expect_column_invariants(columns, domains);

  std::size_t joins = 0;
  for (NodeId id = 0; id < t->nodes.size(); ++id) {
    if ((*t)[id].leaf) continue;
    const std::vector<std::size_t> left = leaves(*t, (*t)[id].left), right = leaves(*t, (*t)[id].right);
    std::size_t a = 0, b = 0;
    double best = -kInf;
    for (std::size_t i : left)
      for (std::size_t j : right)
        if (m->score(i, j) > best) best = m->score(i, j), a = i, b = j;
    const std::vector<ResiduePair> pairs = m->pairs(a, b);
    for (const Column& c : columns) {
      if (!holds_any(c, left) || !holds_any(c, right)) continue;
      ++joins;
      ASSERT_TRUE(c[a] && c[b]) << "column joins the subtrees without their representatives";
      EXPECT_TRUE(std::binary_search(pairs.begin(), pairs.end(), ResiduePair(*c[a], *c[b])))
          << GetParam() << ": (" << *c[a] << ", " << *c[b] << ") is not aligned between " << a << " and " << b;
    }
  }
  EXPECT_GT(joins, domains.front().size() / 2);  // the family does align
}

INSTANTIATE_TEST_SUITE_P(Shipped, FamilyColumns,
                         testing::Values("globin", "kringle", "lipocalin_obp", "kinesin_motor"));
