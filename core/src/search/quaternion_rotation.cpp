#include "pelda/search/quaternion_rotation.hpp"

#include <cmath>

#include "pelda/math/superpose.hpp"

namespace pelda {
namespace {

double det3(const Mat3& m) {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

}  // namespace

Mat3 quaternion_rotation(const Mat3& h) {
  const double sxx = h[0][0], sxy = h[0][1], sxz = h[0][2];
  const double syx = h[1][0], syy = h[1][1], syz = h[1][2];
  const double szx = h[2][0], szy = h[2][1], szz = h[2][2];
  // Symmetric and traceless; its largest eigenvalue is max tr(R H).
  const double n[4][4] = {{sxx + syy + szz, syz - szy, szx - sxz, sxy - syx},
                          {syz - szy, sxx - syy - szz, sxy + syx, szx + sxz},
                          {szx - sxz, sxy + syx, -sxx + syy - szz, syz + szy},
                          {sxy - syx, szx + sxz, syz + szy, -sxx - syy + szz}};
  double frob = 0.0;
  for (const auto& row : h)
    for (double x : row) frob += x * x;
  if (!(frob > 0.0) || !std::isfinite(frob)) return optimal_rotation(h);

  // det(N - l I) = l^4 + c2 l^2 + c1 l + c0.
  const double c2 = -2.0 * frob, c1 = -8.0 * det3(h);
  double c0;
  {
    // det N by expansion along 2 x 2 minors of the first two rows.
    const double a01 = n[0][0] * n[1][1] - n[0][1] * n[1][0], a02 = n[0][0] * n[1][2] - n[0][2] * n[1][0],
                 a03 = n[0][0] * n[1][3] - n[0][3] * n[1][0], a12 = n[0][1] * n[1][2] - n[0][2] * n[1][1],
                 a13 = n[0][1] * n[1][3] - n[0][3] * n[1][1], a23 = n[0][2] * n[1][3] - n[0][3] * n[1][2];
    const double b01 = n[2][0] * n[3][1] - n[2][1] * n[3][0], b02 = n[2][0] * n[3][2] - n[2][2] * n[3][0],
                 b03 = n[2][0] * n[3][3] - n[2][3] * n[3][0], b12 = n[2][1] * n[3][2] - n[2][2] * n[3][1],
                 b13 = n[2][1] * n[3][3] - n[2][3] * n[3][1], b23 = n[2][2] * n[3][3] - n[2][3] * n[3][2];
    c0 = a01 * b23 - a02 * b13 + a03 * b12 + a12 * b03 - a13 * b02 + a23 * b01;
  }
  // Every eigenvalue is at most the sum of the singular values of H, at most
  // sqrt(3) |H|; from above, Newton's steps fall monotonically onto the largest.
  double l = std::sqrt(3.0 * frob);
  for (int it = 0; it < 60; ++it) {
    const double l2 = l * l;
    const double p = (l2 + c2) * l2 + c1 * l + c0, dp = (4.0 * l2 + 2.0 * c2) * l + c1;
    if (!(dp != 0.0)) break;
    const double next = l - p / dp;
    const bool done = std::fabs(next - l) <= 1e-14 * std::fabs(next);
    l = next;
    if (done) break;
  }

  // The eigenvector is any nonzero column of adj(N - l I); take the largest
  // of the four columns' cofactor vectors.
  double a[4][4];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) a[i][j] = n[i][j] - (i == j ? l : 0.0);
  auto minor3 = [&](int skip_row, int skip_col) {
    int r[3], c[3];
    for (int i = 0, k = 0; i < 4; ++i)
      if (i != skip_row) r[k++] = i;
    for (int j = 0, k = 0; j < 4; ++j)
      if (j != skip_col) c[k++] = j;
    return a[r[0]][c[0]] * (a[r[1]][c[1]] * a[r[2]][c[2]] - a[r[1]][c[2]] * a[r[2]][c[1]]) -
           a[r[0]][c[1]] * (a[r[1]][c[0]] * a[r[2]][c[2]] - a[r[1]][c[2]] * a[r[2]][c[0]]) +
           a[r[0]][c[2]] * (a[r[1]][c[0]] * a[r[2]][c[1]] - a[r[1]][c[1]] * a[r[2]][c[0]]);
  };
  double q[4] = {0, 0, 0, 0}, best = 0.0;
  for (int col = 0; col < 4; ++col) {
    double v[4], norm = 0.0;
    for (int i = 0; i < 4; ++i) {
      v[i] = ((i + col) % 2 ? -1.0 : 1.0) * minor3(col, i);
      norm += v[i] * v[i];
    }
    if (norm > best) {
      best = norm;
      for (int i = 0; i < 4; ++i) q[i] = v[i];
    }
  }
  // The adjugate scales as the product of the gaps to the other three
  // eigenvalues; far below |H|^3 the largest is (nearly) repeated.
  const double scale = frob * std::sqrt(frob);
  if (!(best > 1e-12 * scale * scale) || !std::isfinite(best)) return optimal_rotation(h);

  const double q0 = q[0], q1 = q[1], q2 = q[2], q3 = q[3];
  const double s = 1.0 / best;
  Mat3 r;
  r[0][0] = (q0 * q0 + q1 * q1 - q2 * q2 - q3 * q3) * s;
  r[0][1] = 2.0 * (q1 * q2 - q0 * q3) * s;
  r[0][2] = 2.0 * (q1 * q3 + q0 * q2) * s;
  r[1][0] = 2.0 * (q1 * q2 + q0 * q3) * s;
  r[1][1] = (q0 * q0 - q1 * q1 + q2 * q2 - q3 * q3) * s;
  r[1][2] = 2.0 * (q2 * q3 - q0 * q1) * s;
  r[2][0] = 2.0 * (q1 * q3 - q0 * q2) * s;
  r[2][1] = 2.0 * (q2 * q3 + q0 * q1) * s;
  r[2][2] = (q0 * q0 - q1 * q1 - q2 * q2 + q3 * q3) * s;
  return r;
}

}  // namespace pelda
