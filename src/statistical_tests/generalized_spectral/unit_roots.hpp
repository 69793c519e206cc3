// unit_roots: the table W[k] = exp(-2 pi i k / N), k = 0..N-1, the twiddle
// factors of the transforms of length N.
//
// Contract: each component is cos(2 pi k / N) (real part) and
// -sin(2 pi k / N) (imaginary part) rounded to nearest; exact values (0, +-1)
// come out exact, and zeros are +0. Portable binary64 arithmetic only (no
// math library, no fused multiply-add), so the table is the same bits on every
// platform. N >= 1; `out` holds N values.
//
// Method: the angle is folded into [-pi/4, pi/4] by the octant of 8k / N
// (integer arithmetic, exact), phi = (pi/4) * r / N is formed in double-double
// (pi to 107 bits), and sin phi and cos phi are their Taylor series summed in
// double-double from the smallest term (|phi| <= pi/4: 15 terms reach 2^-110),
// with Dekker's and Knuth's error-free transformations (numerics/double_double.hpp).
// The double-double result is within about 2^-100 relative of the true
// value, so rounding it to binary64 gives the correctly rounded value except
// when the value lies within 2^-100 of a rounding boundary; the test compares
// whole tables with mpmath's correctly rounded values.
#pragma once

#include <cstddef>

#include "src/statistical_tests/generalized_spectral/complex.hpp"

namespace larkspur::statistical_tests::generalized_spectral {

void unit_roots(std::size_t length, Complex* out) noexcept;

}  // namespace larkspur::statistical_tests::generalized_spectral
