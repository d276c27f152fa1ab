#include "pelda/clustering/guide_tree.hpp"

#include <limits>
#include <optional>
#include <utility>

namespace pelda {

namespace {

// Symmetric n x n distances with a zero diagonal.
class DistanceTable {
 public:
  explicit DistanceTable(std::size_t n) : n_(n), d_(n * n, 0.0) {}
  double get(std::size_t i, std::size_t j) const { return d_[i * n_ + j]; }
  void set(std::size_t i, std::size_t j, double v) { d_[i * n_ + j] = d_[j * n_ + i] = v; }

 private:
  std::size_t n_;
  std::vector<double> d_;
};

double largest_score(const PairwiseMatrix& m) {
  double max_score = 0.0;
  for (std::size_t i = 0; i < m.size(); ++i)
    for (std::size_t j = 0; j < m.size(); ++j)
      if (m.score(i, j) > max_score) max_score = m.score(i, j);  // NaN never compares greater
  return max_score;
}

DistanceTable distances(const PairwiseMatrix& m) {
  const double max_score = largest_score(m);
  DistanceTable d(m.size());
  for (std::size_t i = 0; i < m.size(); ++i)
    for (std::size_t j = i + 1; j < m.size(); ++j) d.set(i, j, max_score - m.score(i, j));
  return d;
}

struct Slot {
  std::optional<NodeId> node;
  std::size_t size = 1;
  bool active = true;
};

struct ClosestPair {
  std::size_t i = 0, j = 0;
};

// The first strictly smallest distance between active slots; none when every
// remaining distance is NaN or infinite.
std::optional<ClosestPair> closest_pair(const DistanceTable& d, const std::vector<Slot>& slots) {
  std::optional<ClosestPair> found;
  double best = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (!slots[i].active) continue;
    for (std::size_t j = i + 1; j < slots.size(); ++j) {
      if (slots[j].active && d.get(i, j) < best) {
        best = d.get(i, j);
        found = ClosestPair{i, j};
      }
    }
  }
  return found;
}

void average_into(DistanceTable& d, const std::vector<Slot>& slots, ClosestPair p) {
  const double size_i = double(slots[p.i].size), size_j = double(slots[p.j].size);
  const double total = double(slots[p.i].size + slots[p.j].size);
  for (std::size_t k = 0; k < slots.size(); ++k) {
    if (!slots[k].active || k == p.i || k == p.j) continue;
    d.set(p.i, k, (d.get(p.i, k) * size_i + d.get(p.j, k) * size_j) / total);
  }
}

}  // namespace

Result<GuideTree> build_guide_tree(const PairwiseMatrix& matrix) {
  const std::size_t n = matrix.size();
  DistanceTable d = distances(matrix);
  GuideTree tree;
  tree.nodes.reserve(n == 0 ? 0 : 2 * n - 1);
  std::vector<Slot> slots(n);
  for (std::size_t k = 0; k < n; ++k) slots[k].node = tree.add(GuideTreeNode::make_leaf(k));

  for (std::size_t merge = 0; merge + 1 < n; ++merge) {
    const std::optional<ClosestPair> p = closest_pair(d, slots);
    if (!p)
      return make_error(ErrorKind::Value,
                        "no finite distance between the remaining clusters (NaN or infinite pairwise scores)");
    const std::optional<NodeId> left = std::exchange(slots[p->i].node, std::nullopt);
    const std::optional<NodeId> right = std::exchange(slots[p->j].node, std::nullopt);
    if (!left || !right) return make_error(ErrorKind::Internal, "Node should exist");
    average_into(d, slots, *p);
    slots[p->i].size += slots[p->j].size;
    slots[p->j].active = false;
    slots[p->i].node = tree.add(GuideTreeNode::make_internal(*left, *right));
  }

  for (const Slot& s : slots) {
    if (s.node) {
      tree.root = *s.node;
      return tree;
    }
  }
  return make_error(ErrorKind::Internal, "Root should exist");
}

}  // namespace pelda
