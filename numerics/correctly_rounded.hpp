// cr_exp, cr_log: the exponential and the natural logarithm of a binary64
// argument, correctly rounded to nearest (ties to even) for every argument.
//
// Contract: pure functions of their argument, the same bits on every
// platform and compiler (portable C++ arithmetic only: no math library, no
// fused multiply-add, no dependence on the CPU); they assume the default
// floating-point environment (round to nearest, no flush-to-zero).
//   cr_exp: NaN -> NaN, +inf -> +inf, -inf -> +0, exp(+-0) = 1; results
//     beyond the largest double are +inf, and results in the subnormal range
//     are rounded on the subnormal grid (down to +0).
//   cr_log: NaN -> NaN, x < 0 (and -inf) -> NaN, +-0 -> -inf, +inf -> +inf,
//     log(1) = +0; subnormal arguments are exact inputs like any other.
// They agree bit for bit with any math library whose exp and log are
// correctly rounded, and differ from the others exactly where those err.
#pragma once

namespace larkspur::numerics {

[[nodiscard]] double cr_exp(double x) noexcept;
[[nodiscard]] double cr_log(double x) noexcept;

}  // namespace larkspur::numerics
