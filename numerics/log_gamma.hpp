// log_gamma: natural logarithm of the gamma function by an 11-term
// Lanczos-type approximation (r = 10.900511).
//
// Contract: a pure function of its argument; the order of every operation is
// fixed and its logarithms are the correctly rounded cr_log, so for x >= 1/2
// the result is the same to the bit on every platform. Below 1/2 the
// reflection also calls the math library's sin, whose last bit may differ
// between libraries; no test result reaches that branch (see log_gamma.cpp). Reflection is used for x < 0.5; NaN takes the
// x >= 0.5 branch and comes out NaN. log_gamma(1.0) is -4.440892098500626e-16,
// the approximation's own error, not 0.
#pragma once

namespace larkspur::numerics {

[[nodiscard]] double log_gamma(double x) noexcept;

}  // namespace larkspur::numerics
