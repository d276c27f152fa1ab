#include "pelda/treewise/treewise.hpp"

#include <limits>
#include <optional>
#include <utility>

namespace pelda {

namespace {

ClusterAlignment leaf_alignment(std::size_t domain, std::size_t length, std::size_t n) {
  ClusterAlignment out;
  out.columns.reserve(length);
  for (std::size_t r = 0; r < length; ++r) {
    out.columns.emplace_back(n);
    out.columns.back().set(domain, r);
  }
  out.members = {domain};
  return out;
}

// The stored alignment that guides a merge: domain a of the left cluster,
// domain b of the right one, and their aligned pairs seen from a.
struct Guide {
  std::size_t a = 0, b = 0;
  std::vector<ResiduePair> pairs;
};

// The highest-scoring (a, b) across the two clusters; ties keep the first in
// member order and NaN never wins.
Guide representative(const ClusterAlignment& a, const ClusterAlignment& b, const PairwiseMatrix& matrix) {
  double best = -std::numeric_limits<double>::infinity();
  std::optional<std::pair<std::size_t, std::size_t>> chosen;
  for (std::size_t i : a.members) {
    for (std::size_t j : b.members) {
      if (matrix.score(i, j) > best) {
        best = matrix.score(i, j);
        chosen = {i, j};
      }
    }
  }
  if (!chosen) return {};
  return {chosen->first, chosen->second, matrix.pairs(chosen->first, chosen->second)};
}

// For each residue of `domain`, the position of the column that holds it.
std::vector<std::size_t> column_positions(const std::vector<Column>& columns, std::size_t domain) {
  std::vector<std::size_t> at;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    if (const std::optional<std::size_t> r = columns[c][domain]) {
      if (*r >= at.size()) at.resize(*r + 1, columns.size());
      at[*r] = c;
    }
  }
  return at;
}

// b's entries written into a's column; members are disjoint, so nothing of a is lost.
Column merged(Column a, const Column& b, const std::vector<std::size_t>& b_members) {
  for (std::size_t d : b_members)
    if (b.present(d)) a.copy_entry(b, d);
  return a;
}

// The two-cursor walk. A guide pair (x, y) names residues of the
// representative domains: it merges the column of cluster a that holds x
// with the column of cluster b that holds y (a residue no column holds sits
// past the end). Unpaired columns keep their order, a's before b's.
ClusterAlignment merge_clusters(ClusterAlignment a, ClusterAlignment b, const PairwiseMatrix& matrix) {
  const Guide guide = representative(a, b, matrix);
  std::vector<Column>& ac = a.columns;
  std::vector<Column>& bc = b.columns;
  std::vector<std::size_t> at_a, at_b;
  if (!guide.pairs.empty()) {
    at_a = column_positions(ac, guide.a);
    at_b = column_positions(bc, guide.b);
  }
  const auto position = [](const std::vector<std::size_t>& at, std::size_t r, std::size_t end) {
    return r < at.size() ? at[r] : end;
  };
  ClusterAlignment out;
  out.columns.reserve(ac.size() + bc.size());
  std::size_t e = 0, f = 0;
  for (const auto& [x, y] : guide.pairs) {
    const std::size_t px = position(at_a, x, ac.size()), py = position(at_b, y, bc.size());
    while (e < ac.size() && e < px) out.columns.push_back(std::move(ac[e++]));
    while (f < bc.size() && f < py) out.columns.push_back(std::move(bc[f++]));
    if (e < ac.size() && f < bc.size()) out.columns.push_back(merged(std::move(ac[e++]), bc[f++], b.members));
  }
  while (e < ac.size()) out.columns.push_back(std::move(ac[e++]));
  while (f < bc.size()) out.columns.push_back(std::move(bc[f++]));
  out.members = std::move(a.members);
  out.members.insert(out.members.end(), b.members.begin(), b.members.end());
  return out;
}

}  // namespace

ClusterAlignment align_cluster(const GuideTree& tree, NodeId node, const std::vector<Domain>& domains,
                               std::size_t n, const PairwiseMatrix& matrix) {
  struct Visit {
    NodeId id;
    bool children_done;
  };
  std::vector<Visit> todo{{node, false}};
  std::vector<ClusterAlignment> done;  // finished subtrees, left below right
  while (!todo.empty()) {
    const Visit v = todo.back();
    todo.pop_back();
    const GuideTreeNode& current = tree[v.id];
    if (current.leaf) {
      done.push_back(leaf_alignment(current.domain, domains[current.domain].size(), n));
    } else if (!v.children_done) {
      todo.push_back({v.id, true});
      todo.push_back({current.right, false});
      todo.push_back({current.left, false});
    } else {
      ClusterAlignment right = std::move(done.back());
      done.pop_back();
      ClusterAlignment left = std::move(done.back());
      done.pop_back();
      done.push_back(merge_clusters(std::move(left), std::move(right), matrix));
    }
  }
  return std::move(done.back());
}

}  // namespace pelda
