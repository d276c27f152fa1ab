#include "pelda/search/ca_secondary_structure.hpp"

#include <cmath>

namespace pelda {
namespace {

double distance(Vec3 a, Vec3 b) {
  const Vec3 d = a - b;
  return std::sqrt(dot(d, d));
}

// Every distance within `tolerance` of its ideal value.
bool near(const double (&d)[6], const double (&ideal)[6], double tolerance) {
  for (int k = 0; k < 6; ++k)
    if (!(std::fabs(d[k] - ideal[k]) < tolerance)) return false;
  return true;
}

char state_at(const PointList& x, std::size_t i) {
  // Ideal distances (A) for d15, d14, d25, d13, d24, d35.
  static constexpr double helix[6] = {6.37, 5.18, 5.18, 5.45, 5.45, 5.45};
  static constexpr double strand[6] = {13.0, 10.4, 10.4, 6.1, 6.1, 6.1};
  const Vec3 a = x[i - 2], b = x[i - 1], c = x[i], d = x[i + 1], e = x[i + 2];
  const double dist[6] = {distance(a, e), distance(a, d), distance(b, e),
                          distance(a, c), distance(b, d), distance(c, e)};
  if (near(dist, helix, 2.1)) return 'H';
  if (near(dist, strand, 1.42)) return 'E';
  return 'C';
}

// Runs of `state` shorter than `min_length` become coil.
void drop_short_runs(std::string& s, char state, std::size_t min_length) {
  for (std::size_t i = 0; i < s.size();) {
    if (s[i] != state) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < s.size() && s[end] == state) ++end;
    if (end - i < min_length) s.replace(i, end - i, end - i, 'C');
    i = end;
  }
}

}  // namespace

std::string ca_secondary_structure(const PointList& ca) {
  const std::size_t n = ca.size();
  std::string raw(n, 'C');
  for (std::size_t i = 2; i + 2 < n; ++i) raw[i] = state_at(ca, i);
  std::string s = raw;
  for (std::size_t i = 1; i + 1 < n; ++i)
    if (raw[i] == 'C' && raw[i - 1] != 'C' && raw[i - 1] == raw[i + 1]) s[i] = raw[i - 1];
  drop_short_runs(s, 'H', 5);
  drop_short_runs(s, 'E', 3);
  return s;
}

}  // namespace pelda
