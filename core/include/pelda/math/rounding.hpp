// Conversion of scaled reals to the 32-bit integers of the alignment kernels.
#pragma once

#include <cstdint>

namespace pelda {

// Nearest integer with halves away from zero, saturating at the int32 range;
// NaN gives 0. Written without branches on the value so that loops calling it
// vectorise.
inline std::int32_t round_to_int32(double v) {
  double c = v < -2147483648.0 ? -2147483648.0 : v;
  c = c > 2147483647.0 ? 2147483647.0 : c;
  c = c == c ? c : 0.0;
  const auto t = static_cast<std::int32_t>(c);  // truncation, in range
  const double frac = c - double(t);            // exact
  return t + std::int32_t(frac >= 0.5) - std::int32_t(frac <= -0.5);
}

}  // namespace pelda
