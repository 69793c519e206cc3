// The fast paths of cr_exp and cr_log, exposed for their error check
// (tools/cr_check.py compares hi + lo with mpmath and requires the error to
// stay within err): double-double approximations with a proven error bound.
//
// Contract:
//   exp_approximation(x), 2^-54 <= |x| <= 745.2: exp(x) = 2^m (hi + lo + d)
//     with |d| <= err.
//   log_approximation(x), x positive and finite (subnormals included), not 1:
//     ln(x) = hi + lo + d with |d| <= err.
#pragma once

#include <cstdint>

namespace larkspur::numerics::detail {

struct ExpApproximation {
    double hi;
    double lo;
    double err;
    std::int64_t m;
};

struct DoubleDoubleWithError {
    double hi;
    double lo;
    double err;
};

[[nodiscard]] ExpApproximation exp_approximation(double x) noexcept;
[[nodiscard]] DoubleDoubleWithError log_approximation(double x) noexcept;

}  // namespace larkspur::numerics::detail
