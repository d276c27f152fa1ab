// Least-squares superposition, RMSD, centroid and distance matrix of point lists.
#pragma once

#include <string_view>
#include <vector>

#include "pelda/error.hpp"
#include "pelda/math/transform.hpp"

namespace pelda {

struct Superposition {
  Transform transform;  // maps the mobile points onto the fixed points
  double rmsd = 0.0;
};

// Pairs fixed[i] with mobile[i] for i < min(sizes); each centroid uses its whole
// list. Empty input gives the identity and rmsd 0. Never fails.
Superposition superpose(const PointList& fixed, const PointList& mobile);

// Same, over raw (x, y, z) triples: lets the aligners fit subsets without copying.
Superposition superpose(const Vec3* fixed, std::size_t n_fixed, const Vec3* mobile,
                        std::size_t n_mobile);

// The proper rotation R maximising tr(R H) for the correlation matrix
// H = sum mobile' fixed'^T (determinant-corrected SVD).
Mat3 optimal_rotation(const Mat3& h);

// Point-by-point RMSD over min(sizes) pairs; 0 for no pairs.
double rmsd(const PointList& a, const PointList& b);

// Refuses a NaN or infinite coordinate, naming `what` and the 0-based row.
Status check_finite(const PointList& points, std::string_view what);

// Component-wise mean; refuses an empty list.
Result<Vec3> centroid(const PointList& points);

// Row-major |a| x |b| matrix of Euclidean distances.
std::vector<double> distance_matrix(const PointList& a, const PointList& b);

}  // namespace pelda
