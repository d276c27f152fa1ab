// The optimal superposition rotation through its quaternion, for searches
// that fit many small point sets.
#pragma once

#include "pelda/math/vec.hpp"

namespace pelda {

// The proper rotation R maximising tr(R H) for the correlation matrix
// H = sum mobile' fixed'^T, as optimal_rotation, from the eigenvector of the
// largest eigenvalue of the 4 x 4 quaternion matrix of H (Newton's method on
// its characteristic polynomial, the vector from the adjugate). About ten
// times cheaper; when that eigenvalue is (nearly) repeated the vector is not
// determined this way and optimal_rotation answers instead. `spread`, when
// positive, is half the summed squared distances of both point sets from
// their centroids: it bounds that eigenvalue closely and saves iterations.
Mat3 quaternion_rotation(const Mat3& h, double spread = 0.0);

}  // namespace pelda
