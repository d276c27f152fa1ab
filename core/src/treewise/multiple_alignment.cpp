#include "pelda/treewise/multiple_alignment.hpp"

#include <utility>

#include "pelda/clustering/guide_tree.hpp"
#include "pelda/pairwise/pairwise_matrix.hpp"
#include "pelda/treewise/treewise.hpp"

namespace pelda {

namespace {

MultipleAlignment single_domain(const Domain& d) {
  MultipleAlignment out;
  out.transforms.resize(1);
  for (std::size_t r = 0; r < d.size(); ++r) {
    out.columns.emplace_back(1);
    out.columns.back().set(0, r);
    out.core_positions.push_back(r);
  }
  return out;  // score stays 0 although every column is core
}

std::vector<std::size_t> complete_columns(const std::vector<Column>& columns) {
  std::vector<std::size_t> out;
  for (std::size_t c = 0; c < columns.size(); ++c)
    if (columns[c].complete()) out.push_back(c);
  return out;
}

double mean_pair_rmsd(const PairwiseMatrix& m) {
  double sum = 0.0;
  std::size_t count = 0;
  for (std::size_t i = 0; i < m.size(); ++i) {
    for (std::size_t j = i + 1; j < m.size(); ++j) {
      sum += m.rmsd(i, j);
      ++count;
    }
  }
  return count == 0 ? 0.0 : sum / double(count);
}

}  // namespace

Result<MultipleAlignment> multiple_from_matrix(const std::vector<Domain>& domains, const PairwiseMatrix& matrix) {
  Result<GuideTree> tree = build_guide_tree(matrix);
  if (!tree) return tree.error();
  MultipleAlignment out;
  out.transforms.resize(domains.size());
  out.columns = align_cluster(*tree, tree->root, domains, domains.size(), matrix).columns;
  out.core_positions = complete_columns(out.columns);
  const std::size_t divisor = out.columns.empty() ? 1 : out.columns.size();
  out.score = double(out.core_positions.size()) / double(divisor);
  out.avg_rmsd = mean_pair_rmsd(matrix);
  return out;
}

Result<MultipleAlignment> align_multiple(const std::vector<Domain>& domains, const Parameters& parameters,
                                         const RunControl& control) {
  if (domains.empty()) return MultipleAlignment{};
  if (domains.size() == 1) return single_domain(domains[0]);
  Result<PairwiseMatrix> matrix = build_pairwise_matrix(domains, parameters, control);
  if (!matrix) return matrix.error();
  return multiple_from_matrix(domains, *matrix);
}

}  // namespace pelda
