// Synthetic and real C-alpha traces shared by the alignment tests.
#pragma once

#include <cmath>
#include <string>

#include "pelda/io/domain.hpp"
#include "pelda/io/pdb_reader.hpp"
#include "pelda/math/transform.hpp"

namespace pelda::fixtures {

// An alpha-helix-like trace: 3.8 A steps, 100 degrees per residue.
inline PointList helix(std::size_t n, double phase = 0.0) {
  PointList p(n);
  for (std::size_t k = 0; k < n; ++k) {
    const double a = phase + 1.745329 * double(k);
    p[k] = {2.3 * std::cos(a), 2.3 * std::sin(a), 1.5 * double(k)};
  }
  return p;
}

inline std::vector<Residue> residues_of(const PointList& points, const std::u32string& types = {}) {
  std::vector<Residue> out(points.size());
  for (std::size_t k = 0; k < points.size(); ++k) {
    out[k].x = points[k].x;
    out[k].y = points[k].y;
    out[k].z = points[k].z;
    out[k].residue_type = k < types.size() ? types[k] : U'A';
    out[k].index = std::uint32_t(k);
  }
  return out;
}

inline Domain domain_of(const PointList& points, const std::u32string& types = {}) {
  Domain d;
  d.id = "synthetic";
  d.residues = residues_of(points, types);
  return d;
}

inline Domain structure(const std::string& family, const std::string& name) {
  auto d = read_pdb_domain(std::string(OVELT_TEST_DATA) + "/structures/" + family + "/" + name + ".pdb", std::nullopt);
  return d ? std::move(d.value()) : Domain{};
}

// A proper rotation about a skew axis plus a shift.
inline Transform rigid_motion() {
  const double a = 0.7, c = std::cos(a), s = std::sin(a);
  const Transform rz = Transform::from_matrix({{{c, -s, 0}, {s, c, 0}, {0, 0, 1}}}, {12.5, -7.25, 30.0});
  const Transform rx = Transform::from_matrix({{{1, 0, 0}, {0, c, -s}, {0, s, c}}}, {-3.0, 4.0, 1.0});
  return rz.compose(rx);
}

inline double det(const Mat3& m) {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

}  // namespace pelda::fixtures
