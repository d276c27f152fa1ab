// Points and 3x3 matrices: the plain values every geometric routine works on.
#pragma once

#include <array>
#include <vector>

namespace pelda {

struct Vec3 {
  double x = 0.0, y = 0.0, z = 0.0;

  double operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
  double& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
};

inline Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

using PointList = std::vector<Vec3>;

// Row-major 3x3 matrix: m[i][j] is row i, column j.
using Mat3 = std::array<std::array<double, 3>, 3>;
using Mat4 = std::array<std::array<double, 4>, 4>;

inline Mat3 identity3() { return {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}; }

}  // namespace pelda
