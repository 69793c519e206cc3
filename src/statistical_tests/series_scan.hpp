// scan_series: the one pass over a series made before its lag sums.
//
// It gives what the checks and el_test need about the values: whether a NaN
// or an infinity is present, the mean el_test uses, the largest magnitude
// and whether the series is constant.
//
// Contract:
//   * n >= 1; the n binary64 values at `data` may be unaligned and are read
//     once, in ascending order, never written.
//   * mean: the sequential sum from -0.0 in ascending index order divided by
//     n, or the first value when every value equals it (its deviations are
//     then exactly zero). Meaningful only when has_nan is false.
//   * largest: the largest magnitude, +inf when an infinity is present;
//     meaningful only when has_nan is false.
//   * has_infinity is false when has_nan is true (a NaN wins everywhere).
//   * The sum's bits depend on the floating-point environment: callers run
//     it inside a FloatingPointScope, as el_test does.
#pragma once

#include <cstdint>

namespace larkspur::statistical_tests {

struct SeriesScan {
    bool has_nan;
    bool has_infinity;
    bool constant;
    double mean;
    double largest;
};

[[nodiscard]] SeriesScan scan_series(const void* data, std::uint64_t n) noexcept;

}  // namespace larkspur::statistical_tests
