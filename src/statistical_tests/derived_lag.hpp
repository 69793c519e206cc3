// derived_lag: the default largest lag d for a series of n observations, the
// integer fifth root of n (the largest k with k^5 <= n), computed exactly in
// integer arithmetic with no math library.
//
// Contract: pure; derived_lag(0) = 0, and for n >= 1 the result is at least 1
// (n = 1..31 gives 1, 32..242 gives 2, 243..1023 gives 3, ...). For every
// n < 2^40 it equals floor(pow(n, 0.2)) with a correctly rounded pow and the
// double nearest 0.2 (argument in derived_lag.cpp); above 2^40 it stays the
// integer root (see docs/reproducibility.md for where the two part).
#pragma once

#include <cstdint>

namespace larkspur::statistical_tests {

[[nodiscard]] std::uint64_t derived_lag(std::uint64_t n) noexcept;

}  // namespace larkspur::statistical_tests
