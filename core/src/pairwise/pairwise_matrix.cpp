#include "pelda/pairwise/pairwise_matrix.hpp"

#include <utility>

#include "pelda/pairwise/align_pair.hpp"

namespace pelda {

namespace {

// Position of (i, j), i < j, in the row-major upper triangle of an n x n table.
std::size_t upper_index(std::size_t n, std::size_t i, std::size_t j) {
  return i * n - i * (i + 1) / 2 + (j - i - 1);
}

PairwiseAlignment self_alignment(std::size_t length) {
  PairwiseAlignment a;
  a.aligned_pairs.reserve(length);
  for (std::size_t k = 0; k < length; ++k) a.aligned_pairs.emplace_back(k, k);
  a.rmsd = 0.0;
  a.n_aligned = length;
  a.score = 1.0;
  a.seq_identity = 100.0;
  return a;
}

std::vector<ResiduePair> reversed_pairs(const std::vector<ResiduePair>& pairs) {
  std::vector<ResiduePair> out;
  out.reserve(pairs.size());
  for (const auto& [a, b] : pairs) out.emplace_back(b, a);
  return out;
}

}  // namespace

PairwiseMatrix::PairwiseMatrix(std::vector<std::size_t> lengths)
    : lengths_(std::move(lengths)), upper_(size() < 2 ? 0 : size() * (size() - 1) / 2) {}

void PairwiseMatrix::set(std::size_t i, std::size_t j, PairwiseAlignment alignment) {
  upper_[upper_index(size(), i, j)] = std::move(alignment);
}

const PairwiseAlignment& PairwiseMatrix::upper(std::size_t i, std::size_t j) const {
  return i < j ? upper_[upper_index(size(), i, j)] : upper_[upper_index(size(), j, i)];
}

double PairwiseMatrix::score(std::size_t i, std::size_t j) const { return i == j ? 1.0 : upper(i, j).score; }

double PairwiseMatrix::rmsd(std::size_t i, std::size_t j) const { return i == j ? 0.0 : upper(i, j).rmsd; }

std::vector<ResiduePair> PairwiseMatrix::pairs(std::size_t i, std::size_t j) const {
  if (i == j) return self_alignment(lengths_[i]).aligned_pairs;
  return i < j ? upper(i, j).aligned_pairs : reversed_pairs(upper(i, j).aligned_pairs);
}

PairwiseAlignment PairwiseMatrix::entry(std::size_t i, std::size_t j) const {
  if (i == j) return self_alignment(lengths_[i]);
  PairwiseAlignment a = upper(i, j);
  if (i > j) {
    a.aligned_pairs = reversed_pairs(a.aligned_pairs);
    a.transform = a.transform.inverse();
  }
  return a;
}

Result<PairwiseMatrix> build_pairwise_matrix(const std::vector<Domain>& domains, const Parameters& parameters) {
  std::vector<std::size_t> lengths;
  lengths.reserve(domains.size());
  for (const Domain& d : domains) lengths.push_back(d.size());
  PairwiseMatrix matrix(std::move(lengths));
  const AlignmentConfig config = AlignmentConfig::from_parameters(parameters);
  for (std::size_t i = 0; i < domains.size(); ++i) {
    for (std::size_t j = i + 1; j < domains.size(); ++j) {
      Result<PairwiseAlignment> r = align_pair(domains[i].residues, domains[j].residues, config);
      if (!r) return r.error();
      matrix.set(i, j, std::move(r).value());
    }
  }
  return matrix;
}

}  // namespace pelda
