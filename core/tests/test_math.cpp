#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "pelda/math/superpose.hpp"
#include "pelda/math/transform.hpp"

using namespace pelda;

namespace {

Transform rotation_z90_shift(double dx) {
  return Transform::from_matrix({{{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}}, {dx, 0, 0});
}

PointList cloud(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-20.0, 20.0);
  PointList p(n);
  for (auto& v : p) v = {u(rng), u(rng), u(rng)};
  return p;
}

double det(const Mat3& m) {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

void expect_near(Vec3 a, Vec3 b, double tol = 1e-9) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}

}  // namespace

TEST(Transform, ComposeAppliesOtherFirst) {
  Transform a = rotation_z90_shift(5), b = Transform::from_matrix({{{1, 0, 0}, {0, 0, -1}, {0, 1, 0}}}, {1, 2, 3});
  Vec3 p{1.5, -2, 7};
  expect_near(a.compose(b).apply(p), a.apply(b.apply(p)));
  expect_near(b.compose(a).apply(p), b.apply(a.apply(p)));
  EXPECT_GT(std::fabs(a.compose(b).apply(p).x - b.compose(a).apply(p).x) +
                std::fabs(a.compose(b).apply(p).y - b.compose(a).apply(p).y),
            1e-6);
  Transform id;
  EXPECT_EQ(a.compose(id).rotation, a.rotation);
  EXPECT_EQ(id.compose(a).translation.x, a.translation.x);
}

TEST(Transform, InverseIsTransposeEvenForNonOrthonormal) {
  Transform t = rotation_z90_shift(5);
  Transform c = t.compose(t.inverse());
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(c.rotation[i][j], i == j ? 1.0 : 0.0, 1e-15);
  Mat3 twos{{{2, 2, 2}, {2, 2, 2}, {2, 2, 2}}};
  Transform s = Transform::from_matrix(twos, {1, 2, 3}).inverse();
  EXPECT_EQ(s.rotation, twos);
  expect_near(s.translation, {-12, -12, -12}, 0);
}

TEST(Transform, MatrixAndEmptyApply) {
  Transform t = Transform::from_matrix(identity3(), {1, 2, 3});
  Mat4 m = t.transformation_matrix();
  EXPECT_EQ(m[0][3], 1);
  EXPECT_EQ(m[2][3], 3);
  EXPECT_EQ(m[3][3], 1);
  EXPECT_EQ(m[3][0], 0);
  EXPECT_TRUE(t.apply(PointList{}).empty());
}

TEST(Superpose, RecoversRigidMotion) {
  PointList f = cloud(30, 1);
  Transform motion = rotation_z90_shift(5);
  PointList m = motion.apply(f);
  Superposition s = superpose(f, m);
  EXPECT_NEAR(s.rmsd, 0.0, 1e-9);
  PointList back = s.transform.apply(m);
  for (size_t i = 0; i < f.size(); ++i) expect_near(back[i], f[i], 1e-9);
  EXPECT_NEAR(det(s.transform.rotation), 1.0, 1e-12);
}

TEST(Superpose, MirrorGivesProperRotation) {
  PointList f = cloud(12, 2), m = f;
  for (auto& p : m) p.z = -p.z;
  Superposition s = superpose(f, m);
  EXPECT_NEAR(det(s.transform.rotation), 1.0, 1e-12);
  EXPECT_GT(s.rmsd, 0.1);
}

TEST(Superpose, DegenerateInputs) {
  Superposition e = superpose(PointList{}, cloud(3, 3));
  EXPECT_EQ(e.rmsd, 0.0);
  EXPECT_EQ(e.transform.rotation, identity3());

  Superposition one = superpose(PointList{{1, 2, 3}}, PointList{{4, 6, 8}});
  EXPECT_EQ(one.transform.rotation, identity3());
  expect_near(one.transform.translation, {-3, -4, -5}, 0);
  EXPECT_EQ(one.rmsd, 0.0);

  // All mobile points equal: pure translation, rmsd = spread of the fixed points.
  PointList f{{1, 0, 0}, {-1, 0, 0}, {0, 2, 0}, {0, -2, 0}};
  PointList same(4, Vec3{7, 7, 7});
  Superposition t = superpose(f, same);
  EXPECT_EQ(t.transform.rotation, identity3());
  expect_near(t.transform.translation, {-7, -7, -7});
  EXPECT_NEAR(t.rmsd, std::sqrt((1 + 1 + 4 + 4) / 4.0), 1e-12);
}

TEST(Superpose, UnequalLengthsUseOwnCentroids) {
  PointList f = cloud(5, 4), m = cloud(3, 5);
  Superposition s = superpose(f, m);
  Vec3 cf{}, cm{};
  for (auto& p : f) cf = cf + p;
  for (auto& p : m) cm = cm + p;
  cf = {cf.x / 5, cf.y / 5, cf.z / 5};
  cm = {cm.x / 3, cm.y / 3, cm.z / 3};
  expect_near(s.transform.apply(cm), cf, 1e-9);
  PointList moved = s.transform.apply(m);
  EXPECT_NEAR(s.rmsd, rmsd(PointList(f.begin(), f.begin() + 3), moved), 1e-12);
}

TEST(Superpose, NonFiniteInputTerminates) {
  PointList f = cloud(5, 6), m = cloud(5, 7);
  m[2].x = std::numeric_limits<double>::quiet_NaN();
  Superposition s = superpose(f, m);
  EXPECT_EQ(s.transform.rotation, identity3());
  m[2].x = std::numeric_limits<double>::infinity();
  EXPECT_EQ(superpose(f, m).transform.rotation, identity3());
}

TEST(Geometry, RmsdCentroidDistances) {
  EXPECT_EQ(rmsd({}, {}), 0.0);
  EXPECT_EQ(rmsd({{0, 0, 0}}, {{3, 4, 0}}), 5.0);
  auto c = centroid({{1, 2, 3}});
  ASSERT_TRUE(c.ok());
  expect_near(*c, {1, 2, 3}, 0);
  auto bad = centroid({});
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().text(), "Cannot compute centroid of empty point set");
  EXPECT_EQ(distance_matrix(cloud(2, 8), cloud(3, 9)).size(), 6u);
  EXPECT_TRUE(distance_matrix({}, cloud(3, 9)).empty());
}

TEST(Errors, Texts) {
  Error small{ErrorKind::StructureTooSmall, "", 2, 3, std::nullopt};
  EXPECT_EQ(small.text(), "Structure too small: 2 residues (minimum 3)");
  EXPECT_EQ(make_error(ErrorKind::NoCommonAtoms).text(), "No common atoms for superposition");
  EXPECT_EQ(io_error(2).text(), "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(make_error(ErrorKind::PdbParse, "x").text(), "PDB parsing error: x");
  EXPECT_EQ(make_error(ErrorKind::DsspParse, "x").text(), "DSSP parsing error: x");
  EXPECT_EQ(make_error(ErrorKind::DomainFile, "x").text(), "Domain file error: x");
  EXPECT_EQ(make_error(ErrorKind::InvalidParameter, "x").text(), "Invalid parameter: x");
  EXPECT_EQ(make_error(ErrorKind::AlignmentFailed, "x").text(), "Alignment failed: x");
}
