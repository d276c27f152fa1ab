#include "pelda/math/transform.hpp"

namespace pelda {

PointList Transform::apply(const PointList& points) const {
  PointList out;
  out.reserve(points.size());
  for (const Vec3& p : points) out.push_back(apply(p));
  return out;
}

void Transform::apply_in_place(PointList& points) const {
  for (Vec3& p : points) p = apply(p);
}

Transform Transform::compose(const Transform& other) const {
  Transform out;
  const Mat3& a = rotation;
  const Mat3& b = other.rotation;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out.rotation[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
  Vec3 rt{};
  for (int i = 0; i < 3; ++i)
    rt[i] = a[i][0] * other.translation.x + a[i][1] * other.translation.y + a[i][2] * other.translation.z;
  out.translation = rt + translation;
  return out;
}

Transform Transform::inverse() const {
  Transform out;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out.rotation[i][j] = rotation[j][i];
  const Vec3& t = translation;
  for (int i = 0; i < 3; ++i)
    out.translation[i] = -(rotation[0][i] * t.x + rotation[1][i] * t.y + rotation[2][i] * t.z);
  return out;
}

Mat4 Transform::transformation_matrix() const {
  Mat4 m{};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) m[i][j] = rotation[i][j];
    m[i][3] = translation[i];
  }
  m[3] = {0.0, 0.0, 0.0, 1.0};
  return m;
}

}  // namespace pelda
