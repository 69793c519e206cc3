// chi_squared_upper_tail: P(X > x) for X chi-squared with `freedom` degrees
// of freedom, computed directly as the regularised upper incomplete gamma
// function Q(freedom/2, x/2), not as 1 - F(x), so that it keeps its relative
// accuracy far into the tail (half an ulp plus about 2^-58 relative: see the
// .cpp), down to the smallest subnormal.
//
// Contract: a pure function of its arguments with the same bits on every
// platform and compiler: only +, -, *, /, sqrt and the project's own cr_log
// and double-double exp/log approximations reach the result, and it runs
// inside a FloatingPointScope, so neither the math library nor the caller's
// rounding or flush-to-zero mode changes a bit.
//   x NaN -> NaN; x <= 0 (including -inf and -0) -> 1; x = +inf -> 0.
//   1 <= freedom <= max_tail_freedom (2^32); outside, the result is NaN
//   (callers check first). The work grows like sqrt(min(x, freedom)).
#pragma once

#include <cstdint>

namespace larkspur::numerics {

inline constexpr std::uint64_t max_tail_freedom = std::uint64_t{1} << 32;

[[nodiscard]] double chi_squared_upper_tail(double x, std::uint64_t freedom) noexcept;

}  // namespace larkspur::numerics
