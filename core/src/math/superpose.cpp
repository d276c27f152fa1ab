#include "pelda/math/superpose.hpp"

#include <cmath>
#include <string>
#include <utility>

namespace pelda {
namespace {

Vec3 cross(Vec3 a, Vec3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

Vec3 column(const Mat3& m, int j) { return {m[0][j], m[1][j], m[2][j]}; }

void set_column(Mat3& m, int j, Vec3 v) {
  m[0][j] = v.x;
  m[1][j] = v.y;
  m[2][j] = v.z;
}

double det3(const Mat3& m) { return dot(column(m, 0), cross(column(m, 1), column(m, 2))); }

Vec3 scaled(Vec3 v, double s) { return {v.x * s, v.y * s, v.z * s}; }

// Any unit vector orthogonal to unit vector u.
Vec3 orthogonal_unit(Vec3 u) {
  Vec3 axis = std::fabs(u.x) < 0.6 ? Vec3{1, 0, 0} : (std::fabs(u.y) < 0.6 ? Vec3{0, 1, 0} : Vec3{0, 0, 1});
  Vec3 w = cross(u, axis);
  return scaled(w, 1.0 / std::sqrt(dot(w, w)));
}

// One-sided Jacobi: rotates the columns of a (initially H) until they are
// orthogonal, accumulating the rotations in v, so that H v = a = U S.
// The sweep count is bounded, so non-finite input cannot loop forever.
void one_sided_jacobi(Mat3& a, Mat3& v) {
  v = identity3();
  for (int sweep = 0; sweep < 64; ++sweep) {
    bool rotated = false;
    for (int p = 0; p < 2; ++p) {
      for (int q = p + 1; q < 3; ++q) {
        Vec3 ap = column(a, p), aq = column(a, q);
        double alpha = dot(ap, ap), beta = dot(aq, aq), gamma = dot(ap, aq);
        if (!(std::fabs(gamma) > 1e-15 * std::sqrt(alpha * beta))) continue;
        double zeta = (beta - alpha) / (2.0 * gamma);
        double t = std::copysign(1.0, zeta) / (std::fabs(zeta) + std::sqrt(1.0 + zeta * zeta));
        double c = 1.0 / std::sqrt(1.0 + t * t), s = c * t;
        set_column(a, p, scaled(ap, c) - scaled(aq, s));
        set_column(a, q, scaled(ap, s) + scaled(aq, c));
        Vec3 vp = column(v, p), vq = column(v, q);
        set_column(v, p, scaled(vp, c) - scaled(vq, s));
        set_column(v, q, scaled(vp, s) + scaled(vq, c));
        rotated = true;
      }
    }
    if (!rotated) break;
  }
}

}  // namespace

Mat3 optimal_rotation(const Mat3& h) {
  bool all_zero = true;
  for (const auto& row : h)
    for (double x : row) {
      if (!std::isfinite(x)) return identity3();
      if (x != 0.0) all_zero = false;
    }
  if (all_zero) return identity3();

  Mat3 a = h, v;
  one_sided_jacobi(a, v);

  // Order singular values (column norms) from largest to smallest.
  int order[3] = {0, 1, 2};
  double norm[3];
  for (int j = 0; j < 3; ++j) norm[j] = std::sqrt(dot(column(a, j), column(a, j)));
  for (int i = 0; i < 3; ++i)
    for (int j = i + 1; j < 3; ++j)
      if (norm[order[j]] > norm[order[i]]) std::swap(order[i], order[j]);

  Vec3 vk[3], uk[3];
  for (int k = 0; k < 3; ++k) vk[k] = column(v, order[k]);
  const double s0 = norm[order[0]];
  if (!(s0 > 0.0)) return identity3();
  uk[0] = scaled(column(a, order[0]), 1.0 / s0);
  Vec3 a1 = column(a, order[1]);
  Vec3 w = a1 - scaled(uk[0], dot(uk[0], a1));
  double wn = std::sqrt(dot(w, w));
  // Below this the second direction is numerically undetermined (collinear
  // points): any orthogonal choice gives an optimal rotation.
  uk[1] = wn > 1e-12 * s0 ? scaled(w, 1.0 / wn) : orthogonal_unit(uk[0]);
  uk[2] = cross(uk[0], uk[1]);

  // With U proper by construction, R = V diag(1, 1, det V) U^T is the
  // determinant-corrected SVD solution: only the smallest term may flip.
  Mat3 vm;
  for (int k = 0; k < 3; ++k) set_column(vm, k, vk[k]);
  const double d = det3(vm) < 0.0 ? -1.0 : 1.0;
  Mat3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      r[i][j] = vk[0][i] * uk[0][j] + vk[1][i] * uk[1][j] + d * vk[2][i] * uk[2][j];
  return r;
}

Superposition superpose(const Vec3* fixed, std::size_t n_fixed, const Vec3* mobile,
                        std::size_t n_mobile) {
  Superposition out;
  if (n_fixed == 0 || n_mobile == 0) return out;
  Vec3 cf{}, cm{};
  for (std::size_t i = 0; i < n_fixed; ++i) cf = cf + fixed[i];
  for (std::size_t i = 0; i < n_mobile; ++i) cm = cm + mobile[i];
  cf = {cf.x / double(n_fixed), cf.y / double(n_fixed), cf.z / double(n_fixed)};
  cm = {cm.x / double(n_mobile), cm.y / double(n_mobile), cm.z / double(n_mobile)};

  const std::size_t n = n_fixed < n_mobile ? n_fixed : n_mobile;
  Mat3 h{};
  for (std::size_t i = 0; i < n; ++i) {
    Vec3 m = mobile[i] - cm, f = fixed[i] - cf;
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) h[a][b] += m[a] * f[b];
  }
  out.transform.rotation = optimal_rotation(h);
  const Vec3 rc = out.transform.apply(cm);  // translation is still zero here
  out.transform.translation = cf - rc;

  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    Vec3 d = fixed[i] - out.transform.apply(mobile[i]);
    sum += d.x * d.x + d.y * d.y + d.z * d.z;
  }
  out.rmsd = std::sqrt(sum / double(n));
  return out;
}

Superposition superpose(const PointList& fixed, const PointList& mobile) {
  return superpose(fixed.data(), fixed.size(), mobile.data(), mobile.size());
}

double rmsd(const PointList& a, const PointList& b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  if (n == 0) return 0.0;
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    Vec3 d = a[i] - b[i];
    sum += d.x * d.x + d.y * d.y + d.z * d.z;
  }
  return std::sqrt(sum / double(n));
}

Status check_finite(const PointList& points, std::string_view what) {
  for (std::size_t i = 0; i < points.size(); ++i)
    if (!std::isfinite(points[i].x) || !std::isfinite(points[i].y) || !std::isfinite(points[i].z))
      return make_error(ErrorKind::Value,
                        "Non-finite coordinate in " + std::string(what) + " at row " + std::to_string(i));
  return {};
}

Result<Vec3> centroid(const PointList& points) {
  if (points.empty()) return make_error(ErrorKind::Value, "Cannot compute centroid of empty point set");
  Vec3 c{};
  for (const Vec3& p : points) c = c + p;
  const double n = double(points.size());
  return Vec3{c.x / n, c.y / n, c.z / n};
}

std::vector<double> distance_matrix(const PointList& a, const PointList& b) {
  std::vector<double> out(a.size() * b.size());
  std::size_t k = 0;
  for (const Vec3& p : a)
    for (const Vec3& q : b) {
      Vec3 d = p - q;
      out[k++] = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
    }
  return out;
}

}  // namespace pelda
