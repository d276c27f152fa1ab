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

Mat3 quaternion_rotation(const Mat3& h, double spread) {
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

  // det(N - l I) = l^4 + c2 l^2 + c1 l + c0; rows 0, 1 and rows 2, 3 of N
  // enter through their 2 x 2 minors, which give the cofactors below too.
  const double c2 = -2.0 * frob, c1 = -8.0 * det3(h);
  auto minors = [](const double* r, const double* t, double* m) {
    // m = {01, 02, 03, 12, 13, 23}
    m[0] = r[0] * t[1] - r[1] * t[0], m[1] = r[0] * t[2] - r[2] * t[0], m[2] = r[0] * t[3] - r[3] * t[0];
    m[3] = r[1] * t[2] - r[2] * t[1], m[4] = r[1] * t[3] - r[3] * t[1], m[5] = r[2] * t[3] - r[3] * t[2];
  };
  double top[6], bottom[6];
  minors(n[0], n[1], top);
  minors(n[2], n[3], bottom);
  const double c0 = top[0] * bottom[5] - top[1] * bottom[4] + top[2] * bottom[3] + top[3] * bottom[2] -
                    top[4] * bottom[1] + top[5] * bottom[0];

  // Every eigenvalue is at most `spread` (when given) and at most the sum of
  // the singular values s of H, whose square is |H|^2 + 2 sum_{i<j} s_i s_j,
  // where sum_{i<j} s_i s_j <= sqrt(3 sum_{i<j} (s_i s_j)^2) and the latter
  // sum is that of the squared 2 x 2 minors of H. From above, Newton's steps
  // fall onto the largest root.
  double minors2 = 0.0;
  for (int a = 0; a < 3; ++a)
    for (int b = a + 1; b < 3; ++b)
      for (int c = 0; c < 3; ++c)
        for (int d = c + 1; d < 3; ++d) {
          const double m = h[a][c] * h[b][d] - h[a][d] * h[b][c];
          minors2 += m * m;
        }
  double l = std::sqrt(frob + 2.0 * std::sqrt(3.0 * minors2));
  if (spread > 0.0 && spread < l) l = spread;
  for (int it = 0; it < 50; ++it) {
    const double l2 = l * l;
    const double p = (l2 + c2) * l2 + c1 * l + c0, dp = (4.0 * l2 + 2.0 * c2) * l + c1;
    if (!(dp != 0.0)) break;
    const double next = l - p / dp;
    // Near the root convergence is quadratic: a step this small leaves ~1e-14.
    const bool done = std::fabs(next - l) <= 1e-7 * std::fabs(next);
    l = next;
    if (done) break;
  }

  // The eigenvector is any nonzero row of adj(N - l I).
  double a[4][4];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) a[i][j] = n[i][j] - (i == j ? l : 0.0);
  minors(a[0], a[1], top);
  minors(a[2], a[3], bottom);
  // The whole adjugate, without branches: row i holds the cofactors of row i,
  // each a 3 x 3 determinant of the other three rows, two of them entering
  // through their minors.
  auto cofactors = [](const double* r, const double* m, double sign, double* out) {
    out[0] = sign * (r[1] * m[5] - r[2] * m[4] + r[3] * m[3]);
    out[1] = -sign * (r[0] * m[5] - r[2] * m[2] + r[3] * m[1]);
    out[2] = sign * (r[0] * m[4] - r[1] * m[2] + r[3] * m[0]);
    out[3] = -sign * (r[0] * m[3] - r[1] * m[1] + r[2] * m[0]);
  };
  double adj[4][4];
  cofactors(a[1], bottom, 1.0, adj[0]);
  cofactors(a[0], bottom, -1.0, adj[1]);
  cofactors(a[3], top, 1.0, adj[2]);
  cofactors(a[2], top, -1.0, adj[3]);
  // adj = k q q^T: the row with the largest diagonal entry is the largest row.
  int row = 0;
  for (int i = 1; i < 4; ++i) row = std::fabs(adj[i][i]) > std::fabs(adj[row][row]) ? i : row;
  const double* q = adj[row];
  const double best = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
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
