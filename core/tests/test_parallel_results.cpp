// Scans and multiple alignments of real families give the same answer on
// any number of threads.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "pelda/io/pdb_reader.hpp"
#include "pelda/parallel/run_items.hpp"
#include "thread_counts.hpp"
#include "pelda/scan/database_scan.hpp"
#include "pelda/scan/scan_align.hpp"
#include "pelda/search/sensitive_multiple.hpp"
#include "pelda/treewise/multiple_alignment.hpp"

using namespace pelda;
using fixtures::kThreadCounts;
using fixtures::on;

namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

std::vector<Domain> read_family(const std::string& family, const std::vector<std::string>& stems) {
  std::vector<Domain> out;
  for (const std::string& stem : stems) {
    Result<Domain> d =
        read_pdb_domain(std::string(OVELT_TEST_DATA "/structures/") + family + "/" + stem + ".pdb", std::nullopt);
    EXPECT_TRUE(d.ok()) << stem;
    if (d) out.push_back(std::move(d).value());
  }
  return out;
}

std::vector<Domain> globins() {
  return read_family("globin", {"1mbn", "1hho", "1h97", "1oj6", "1urv", "2oif", "5vzq", "2eb8"});
}

// Globins among other folds, so the ranking and the z-scores have spread.
std::vector<Domain> mixed_targets() {
  std::vector<Domain> all = globins();
  for (Domain& d : read_family("lipocalin_obp", {"1a3y", "1g85", "3fiq", "3zq3", "5ngh"})) all.push_back(d);
  for (Domain& d : read_family("ef_hand_calmodulin", {"1jfj", "1ncx", "2sas", "3cln"})) all.push_back(d);
  for (Domain& d : read_family("kringle", {"1kdu", "1pk4", "1pkr"})) all.push_back(d);
  return all;
}

void expect_same_hits(const std::vector<ScanHit>& a, const std::vector<ScanHit>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t k = 0; k < a.size(); ++k) {
    EXPECT_EQ(a[k].target_id, b[k].target_id);
    EXPECT_EQ(a[k].rank, b[k].rank);
    EXPECT_EQ(bits(a[k].score), bits(b[k].score));
    EXPECT_EQ(bits(a[k].rmsd), bits(b[k].rmsd));
    EXPECT_EQ(a[k].n_aligned, b[k].n_aligned);
    EXPECT_EQ(bits(a[k].seq_identity), bits(b[k].seq_identity));
    ASSERT_EQ(a[k].z_score.has_value(), b[k].z_score.has_value());
    if (a[k].z_score) {
      EXPECT_EQ(bits(*a[k].z_score), bits(*b[k].z_score));
    }
  }
}

// The globins in one frame: each moved onto the first by the window search.
std::vector<Domain> superposed_globins() {
  std::vector<Domain> domains = globins();
  const ScanConfig config = ScanConfig::from_parameters(Parameters{}, 5);
  for (std::size_t k = 1; k < domains.size(); ++k) {
    const Result<ScanOutcome> o = scan_align(domains[0], domains[k], config);
    EXPECT_TRUE(o.ok());
    if (!o) continue;
    for (Residue& r : domains[k].residues) {
      const Vec3 p = o->transform.apply(r.position());
      r.x = p.x, r.y = p.y, r.z = p.z;
    }
  }
  return domains;
}

}  // namespace

TEST(ParallelScan, SameHitsRanksAndZScoresForEveryThreadCount) {
  std::vector<Domain> targets = mixed_targets();
  const Domain query = targets.front();
  // Copies at the end tie with their originals: only input order ranks them.
  for (std::size_t k = 0; k < 6; ++k) {
    targets.push_back(targets[k]);
    targets.back().id += "_copy";
  }
  const Parameters params;
  for (bool scan_mode : {true, false}) {
    ScanOptions options;
    options.scan_mode = scan_mode;
    options.max_hits = targets.size();
    const Result<std::vector<ScanHit>> serial = run_scan(query, targets, params, options, on(1));
    ASSERT_TRUE(serial);
    ASSERT_GE(serial->size(), 10u);
    for (std::size_t t : kThreadCounts) {
      const Result<std::vector<ScanHit>> parallel = run_scan(query, targets, params, options, on(t));
      ASSERT_TRUE(parallel) << t;
      expect_same_hits(*serial, *parallel);
    }
  }
}

TEST(ParallelMultiple, SameAlignmentForEveryThreadCount) {
  const std::vector<Domain> domains = superposed_globins();
  const Result<MultipleAlignment> serial = align_multiple(domains, Parameters{}, on(1));
  ASSERT_TRUE(serial);
  ASSERT_GT(serial->n_columns(), domains[0].size());  // gaps and joins, not one column per residue
  for (std::size_t t : kThreadCounts) {
    const Result<MultipleAlignment> parallel = align_multiple(domains, Parameters{}, on(t));
    ASSERT_TRUE(parallel) << t;
    EXPECT_EQ(parallel->columns, serial->columns) << t;
    EXPECT_EQ(parallel->core_positions, serial->core_positions) << t;
    EXPECT_EQ(bits(parallel->score), bits(serial->score)) << t;
    EXPECT_EQ(bits(parallel->avg_rmsd), bits(serial->avg_rmsd)) << t;
  }
}

TEST(ParallelMultiple, SameSensitiveAlignmentForEveryThreadCount) {
  std::vector<Domain> domains = globins();
  domains.resize(4);
  const Result<MultipleAlignment> serial = align_multiple_sensitive(domains, Parameters{}, 0, on(1));
  ASSERT_TRUE(serial);
  for (std::size_t t : kThreadCounts) {
    const Result<MultipleAlignment> parallel = align_multiple_sensitive(domains, Parameters{}, 0, on(t));
    ASSERT_TRUE(parallel) << t;
    EXPECT_EQ(parallel->columns, serial->columns) << t;
    for (std::size_t k = 0; k < domains.size(); ++k)
      for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(bits(parallel->transforms[k].translation[r]), bits(serial->transforms[k].translation[r]));
        for (int c = 0; c < 3; ++c)
          EXPECT_EQ(bits(parallel->transforms[k].rotation[r][c]), bits(serial->transforms[k].rotation[r][c]));
      }
    EXPECT_EQ(bits(parallel->avg_rmsd), bits(serial->avg_rmsd)) << t;
  }
}

// The window search runs its windows ahead of the walk; with a low skip score
// the walk jumps over many of them, which must not change where it lands.
TEST(ParallelWindows, SameOutcomeForEveryThreadCount) {
  const std::vector<Domain> domains = mixed_targets();
  for (double skip_score : {2.0, 0.05}) {
    ScanConfig config = ScanConfig::from_parameters(Parameters{}, 5);
    config.skip_score = skip_score;
    // Myoglobins (4, 6, 7) align, the rest do not.
    for (std::size_t k : {1u, 4u, 6u, 7u, 9u}) {
      const Result<ScanOutcome> serial = scan_align(domains[0], domains[k], config, on(1));
      ASSERT_TRUE(serial);
      for (std::size_t t : kThreadCounts) {
        const Result<ScanOutcome> parallel = scan_align(domains[0], domains[k], config, on(t));
        ASSERT_TRUE(parallel) << t;
        EXPECT_EQ(parallel->offset, serial->offset) << k << " " << t;
        EXPECT_EQ(bits(parallel->score), bits(serial->score)) << k << " " << t;
        EXPECT_EQ(bits(parallel->rmsd), bits(serial->rmsd)) << k << " " << t;
        EXPECT_EQ(parallel->n_aligned, serial->n_aligned) << k << " " << t;
        for (int r = 0; r < 3; ++r)
          EXPECT_EQ(bits(parallel->transform.translation[r]), bits(serial->transform.translation[r])) << k;
      }
    }
  }
}

TEST(ParallelWindows, AStopRequestEndsTheSearch) {
  const std::vector<Domain> domains = globins();
  for (std::size_t t : {1u, 2u}) {
    RunControl control = on(t);
    control.poll_interval = std::chrono::milliseconds(0);
    std::size_t asked = 0;
    control.poll = [&](std::size_t, std::size_t) { return ++asked > 1; };  // stop when first asked
    const Result<ScanOutcome> o = scan_align(domains[0], domains[1], ScanConfig{}, control);
    ASSERT_FALSE(o.ok()) << t;
    EXPECT_EQ(o.error().kind, ErrorKind::Stopped);
    EXPECT_EQ(asked, 1u);
  }
}
