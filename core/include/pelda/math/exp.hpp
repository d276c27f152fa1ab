// An exponential that vectorises: no table, no branch on the value.
#pragma once

#include <bit>
#include <cstdint>

namespace pelda {

// e^x within 1 ulp over the whole double range (subnormal results round once).
// Cody-Waite reduction x = k ln2 + r with |r| <= ln2/2, the remainder through
// the classic rational form 1 + r + r c(r) / (2 - c(r)), then scaling by 2^k
// built from bits.
inline double exp_1ulp(double x) {
  constexpr double ln2_hi = 6.93147180369123816490e-01;  // 32 significant bits
  constexpr double ln2_lo = 1.90821492927058770002e-10;
  constexpr double inv_ln2 = 1.44269504088896338700e+00;
  constexpr double p1 = 1.66666666666666019037e-01;
  constexpr double p2 = -2.77777777770155933842e-03;
  constexpr double p3 = 6.61375632143793436117e-05;
  constexpr double p4 = -1.65339022054652515390e-06;
  constexpr double p5 = 4.13813679705723846039e-08;
  constexpr double round_shift = 0x1.8p52;  // adding it rounds to an integer

  x = x < -746.0 ? -746.0 : x;  // e^-746 rounds to 0; NaN passes through
  x = x > 710.0 ? 710.0 : x;    // e^710 overflows
  double k = x * inv_ln2 + round_shift;
  k -= round_shift;
  const double hi = x - k * ln2_hi;  // k * ln2_hi is exact for |k| < 2^21
  const double lo = k * ln2_lo;
  const double r = hi - lo;
  const double t = r * r;
  const double c = r - t * (p1 + t * (p2 + t * (p3 + t * (p4 + t * p5))));
  double y = 1.0 - ((lo - (r * c) / (2.0 - c)) - hi);

  // 2^k may leave the normal range at both ends: move 1000 binades into y
  // first (exact), so the final product rounds once.
  const bool tiny = k < -1000.0, huge = k > 1000.0;
  y *= tiny ? 0x1p-1000 : (huge ? 0x1p1000 : 1.0);
  k += tiny ? 1000.0 : (huge ? -1000.0 : 0.0);
  // k + 1023 lands in the low mantissa bits of a number in [2^52, 2^53);
  // shifting those bits into the exponent field gives 2^k.
  const double biased = k + (1023.0 + 0x1p52);
  const double scale = std::bit_cast<double>(std::bit_cast<std::uint64_t>(biased) << 52);
  return y * scale;
}

}  // namespace pelda
