// One column of a multiple alignment: per domain, a residue index or a gap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

namespace pelda {

class Column {
 public:
  Column() = default;
  explicit Column(std::size_t n_domains) : entries_(n_domains, kGap) {}

  std::size_t size() const { return entries_.size(); }
  bool present(std::size_t domain) const { return entries_[domain] != kGap; }
  std::optional<std::size_t> operator[](std::size_t domain) const {
    if (!present(domain)) return std::nullopt;
    return entries_[domain];
  }
  // Residue indices fit 32 bits: Residue::index is 32-bit too.
  void set(std::size_t domain, std::size_t residue) { entries_[domain] = std::uint32_t(residue); }
  void copy_entry(const Column& other, std::size_t domain) { entries_[domain] = other.entries_[domain]; }
  // Every domain has a residue here.
  bool complete() const {
    for (std::uint32_t e : entries_)
      if (e == kGap) return false;
    return true;
  }

  friend bool operator==(const Column&, const Column&) = default;

 private:
  static constexpr std::uint32_t kGap = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> entries_;
};

}  // namespace pelda
