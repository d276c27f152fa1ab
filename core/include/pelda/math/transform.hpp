// Rigid-body transform: rotate by R, then translate by t (p -> R p + t).
#pragma once

#include "pelda/math/vec.hpp"

namespace pelda {

// No orthonormality is enforced: a Transform keeps whatever numbers it holds.
struct Transform {
  Mat3 rotation = identity3();
  Vec3 translation{};

  static Transform identity() { return {}; }
  static Transform from_matrix(const Mat3& r, Vec3 t) { return {r, t}; }

  Vec3 apply(Vec3 p) const {
    const auto& r = rotation;
    return {r[0][0] * p.x + r[0][1] * p.y + r[0][2] * p.z + translation.x,
            r[1][0] * p.x + r[1][1] * p.y + r[1][2] * p.z + translation.y,
            r[2][0] * p.x + r[2][1] * p.y + r[2][2] * p.z + translation.z};
  }
  PointList apply(const PointList& points) const;
  // Moves `points` in place (the aligners' mobile copy).
  void apply_in_place(PointList& points) const;

  // "self * other": applies `other` first, then this transform.
  Transform compose(const Transform& other) const;
  // (R^T, -R^T t): the exact inverse only when R is orthonormal.
  Transform inverse() const;
  Mat4 transformation_matrix() const;
};

}  // namespace pelda
