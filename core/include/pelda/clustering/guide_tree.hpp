// Average-linkage guide tree over pairwise alignment scores.
#pragma once

#include <cstddef>
#include <vector>

#include "pelda/error.hpp"
#include "pelda/pairwise/pairwise_matrix.hpp"

namespace pelda {

using NodeId = std::size_t;

// A leaf holds one domain index; an internal node two children. Nodes live
// in their tree's arena, so deep trees need no recursion to build or free.
struct GuideTreeNode {
  bool leaf = true;
  std::size_t domain = 0;    // leaf only
  NodeId left = 0, right = 0;  // internal only

  static GuideTreeNode make_leaf(std::size_t domain) { return {true, domain, 0, 0}; }
  static GuideTreeNode make_internal(NodeId left, NodeId right) { return {false, 0, left, right}; }
};

struct GuideTree {
  std::vector<GuideTreeNode> nodes;  // children always precede their parent
  NodeId root = 0;

  NodeId add(GuideTreeNode node) {
    nodes.push_back(node);
    return nodes.size() - 1;
  }
  const GuideTreeNode& operator[](NodeId id) const { return nodes[id]; }
};

// Distances maxS - score[i][j] (maxS over 0 and every non-NaN score), then
// n - 1 size-weighted average-linkage merges of the strictly closest active
// pair in row-major order; the lower slot becomes the left child. Fails when
// no finite distance is left between the remaining clusters.
Result<GuideTree> build_guide_tree(const PairwiseMatrix& matrix);

}  // namespace pelda
