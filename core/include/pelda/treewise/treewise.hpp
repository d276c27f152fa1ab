// Treewise merge of alignment columns along the guide tree.
#pragma once

#include <cstddef>
#include <vector>

#include "pelda/clustering/guide_tree.hpp"
#include "pelda/io/domain.hpp"
#include "pelda/pairwise/pairwise_matrix.hpp"
#include "pelda/treewise/column.hpp"

namespace pelda {

struct ClusterAlignment {
  std::vector<Column> columns;       // n entries each, present only for members
  std::vector<std::size_t> members;  // domain indices, left subtree first
};

// Columns of the subtree at `node`: a leaf lays its domain out one residue
// per column; an internal node merges its children's columns guided by the
// best-scoring stored alignment between a left and a right member: each of
// its aligned pairs merges the two columns that hold its residues. Works bottom-up
// without recursion, so tree height is bounded only by memory. Of `domains`
// only the residue counts are read; `n` is the column length.
ClusterAlignment align_cluster(const GuideTree& tree, NodeId node, const std::vector<Domain>& domains,
                               std::size_t n, const PairwiseMatrix& matrix);

}  // namespace pelda
