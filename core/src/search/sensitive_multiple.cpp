#include "pelda/search/sensitive_multiple.hpp"

#include <algorithm>

#include "pelda/math/superpose.hpp"
#include "pelda/search/sensitive_align.hpp"

namespace pelda {
namespace {

// Column pairs farther apart than this (A) are left out of a refit.
constexpr double kRefitCutoff = 4.0;
constexpr int kRefitRounds = 3;

// Refits `t` (domain k onto the reference) on the residues that share a
// column with the reference's and lie close under the current fit.
Transform refit_on_columns(Transform t, const std::vector<Column>& columns, std::size_t ref, std::size_t k,
                           const PointList& fixed, const PointList& mobile) {
  std::vector<std::pair<Vec3, Vec3>> shared;
  for (const Column& c : columns)
    if (c.present(ref) && c.present(k)) shared.emplace_back(fixed[*c[ref]], mobile[*c[k]]);
  PointList a, b;
  for (int round = 0; round < kRefitRounds; ++round) {
    a.clear();
    b.clear();
    for (const auto& [x, y] : shared) {
      const Vec3 d = x - t.apply(y);
      if (dot(d, d) < kRefitCutoff * kRefitCutoff) {
        a.push_back(x);
        b.push_back(y);
      }
    }
    if (a.size() < 3) break;
    t = superpose(a, b).transform;
  }
  return t;
}

}  // namespace

PairwiseAlignment sensitive_pair(const Domain& domain1, const Domain& domain2, const Parameters& params) {
  SensitiveAlignment a = sensitive_align(domain1, domain2, params);
  PairwiseAlignment out;
  out.aligned_pairs = std::move(a.structure.pairs);
  out.transform = a.transform;
  out.rmsd = a.structure.rmsd;
  out.n_aligned = out.aligned_pairs.size();
  out.score = std::max(a.structure.tm_score, a.structure.tm_score_mobile);
  out.seq_identity = a.structure.seq_identity * 100.0;
  return out;
}

Result<PairwiseMatrix> build_sensitive_matrix(const std::vector<Domain>& domains, const Parameters& params,
                                              const RunControl& control) {
  std::vector<std::size_t> lengths;
  for (const Domain& d : domains) lengths.push_back(d.size());
  PairwiseMatrix matrix(std::move(lengths));
  std::vector<ResiduePair> pairs;  // (i, j) in row-major order, one independent work item each
  for (std::size_t i = 0; i < domains.size(); ++i)
    for (std::size_t j = i + 1; j < domains.size(); ++j) pairs.emplace_back(i, j);
  // Each item writes its own entry of the table, so the items may run in any order.
  const Status s = run_items(pairs.size(), control, [&](std::size_t k, std::size_t) -> Status {
    const auto [i, j] = pairs[k];
    matrix.set(i, j, sensitive_pair(domains[i], domains[j], params));
    return {};
  });
  if (!s) return s.error();
  return matrix;
}

namespace {

// Columns and guide tree from the matrix; transforms refitted from `starts`
// (each domain onto domains[reference], in the frames given).
Result<MultipleAlignment> finish(const std::vector<Domain>& domains, const PairwiseMatrix& matrix,
                                 std::size_t reference, const std::vector<Transform>& starts) {
  Result<MultipleAlignment> out = multiple_from_matrix(domains, matrix);
  if (!out) return out;
  const PointList fixed = coordinates(domains[reference]);
  for (std::size_t k = 0; k < domains.size(); ++k)
    if (k != reference)
      out->transforms[k] = refit_on_columns(starts[k], out->columns, reference, k, fixed, coordinates(domains[k]));
  return out;
}

std::vector<Transform> onto_reference(const PairwiseMatrix& matrix, std::size_t reference) {
  std::vector<Transform> out(matrix.size());
  for (std::size_t k = 0; k < matrix.size(); ++k)
    if (k != reference) out[k] = matrix.entry(reference, k).transform;
  return out;
}

}  // namespace

Result<MultipleAlignment> align_multiple_sensitive(const std::vector<Domain>& domains, const Parameters& params,
                                                   std::size_t reference, const RunControl& control) {
  if (domains.size() < 2 || reference >= domains.size()) return align_multiple(domains, params, control);
  const Result<PairwiseMatrix> matrix = build_sensitive_matrix(domains, params, control);
  if (!matrix) return matrix.error();
  return finish(domains, *matrix, reference, onto_reference(*matrix, reference));
}

Result<AlignedSet> align_set_sensitive(const std::vector<Domain>& domains, const Parameters& params,
                                         std::size_t reference, const RunControl& control) {
  if (reference >= domains.size()) return make_error(ErrorKind::Value, "reference index out of range");
  const Result<PairwiseMatrix> built = build_sensitive_matrix(domains, params, control);
  if (!built) return built.error();
  const PairwiseMatrix& matrix = *built;
  AlignedSet out;
  out.pre_transforms = onto_reference(matrix, reference);
  std::vector<Domain> moved;
  for (std::size_t k = 0; k < domains.size(); ++k) moved.push_back(pelda::moved(domains[k], out.pre_transforms[k]));
  Result<MultipleAlignment> a =
      finish(moved, matrix, reference, std::vector<Transform>(domains.size(), Transform::identity()));
  if (!a) return a.error();
  out.alignment = std::move(a).value();
  return out;
}

}  // namespace pelda
