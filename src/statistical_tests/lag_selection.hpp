// select_lag: from the squared robust autocorrelations to the result: the
// data-driven order p~ (penalty p ln n, or 2p when some autocorrelation is
// large against sqrt(q ln n / n)), the statistic n (rho_1^2 + ... + rho_p~^2)
// and its chi-squared(1) upper tail.
//
// Contract: rho_squared[0] is 0.0 and rho_squared[1 .. d] hold
// gamma_j^2 / tau_j (entry n is NaN when d = n, and is skipped); the running
// sum is sequential in ascending lag. Shared by the one-series path and the
// group path, so both finish a series with the same operations.
#pragma once

#include <cstdint>

#include "src/statistical_tests/escanciano_lobato.hpp"

namespace larkspur::statistical_tests {

// log_n is cr_log(n), taken once by a caller that finishes many series of n.
[[nodiscard]] ElResult select_lag(const double* rho_squared, std::uint64_t n, double log_n, double q, std::uint64_t d);

}  // namespace larkspur::statistical_tests
