// The accurate path of the correctly rounded exp and log: exact fixed-point
// arithmetic on 288-bit integers (32 integer bits, 256 fraction bits), used
// only for the rare arguments whose fast double-double result is too close to
// a rounding boundary to decide (Ziv's strategy, see correctly_rounded.cpp).
//
// Contract: pure functions; each result is within 2^-190 relative of the
// exact value before its single final rounding, far below the distance of
// any binary64 exp or log value from a rounding boundary (at least 2^-62 ulp,
// 2^-115 relative, by the exhaustive worst-case searches of Lefevre and Muller), so
// the result is the correctly rounded one.
//   accurate_exp: 2^-54 <= |x| <= 746, x finite.
//   accurate_log: x positive, finite and not 1 (subnormals allowed);
//     approximation is any double near ln(x) (within 2^-40 relative), e.g.
//     the fast path's high part.
#pragma once

namespace larkspur::numerics::detail {

[[nodiscard]] double accurate_exp(double x) noexcept;
[[nodiscard]] double accurate_log(double x, double approximation) noexcept;

}  // namespace larkspur::numerics::detail
