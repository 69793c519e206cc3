// select_lag: from the squared robust autocorrelations to the result: the
// data-driven order p~ (penalty p ln n, or 2p when some autocorrelation is
// large against sqrt(q ln n / n)), the statistic n (rho_1^2 + ... + rho_p~^2)
// and its chi-squared(1) upper tail.
//
// Contract: rho_squared[0] is 0.0 and rho_squared[1 .. d] hold
// gamma_j^2 / tau_j (entry n is NaN when d = n, and is skipped); the running
// sum is sequential in ascending lag. Shared by the one-series path, the
// group path and the per-lag profile, so all of them finish a series with
// the same operations.
#pragma once

#include <cstdint>

#include "src/statistical_tests/escanciano_lobato.hpp"

namespace larkspur::statistical_tests {

// The penalty in force for a series: p ln n (BIC-like) unless the largest
// robust autocorrelation exceeds sqrt(q ln n / n), then 2p (AIC-like).
struct LagPenalty {
    bool bic;
    double log_n;

    [[nodiscard]] double at(std::uint64_t p) const noexcept {
        return bic ? static_cast<double>(p) * log_n : static_cast<double>(2 * p);
    }
};

[[nodiscard]] LagPenalty lag_penalty(const double* rho_squared, std::uint64_t n, double log_n, double q,
                                     std::uint64_t d) noexcept;

// The criterion at order p from the running sum rho_1^2 + ... + rho_p^2:
// n times the sum (the cumulative statistic), less the penalty.
[[nodiscard]] inline double cumulative_statistic(double running_sum, std::uint64_t n) noexcept {
    return running_sum * static_cast<double>(n);
}

// log_n is cr_log(n), taken once by a caller that finishes many series of n.
[[nodiscard]] ElResult select_lag(const double* rho_squared, std::uint64_t n, double log_n, double q, std::uint64_t d);

// The p-value of a statistic: the chi-squared(1) upper tail as 1 - F.
[[nodiscard]] double statistic_pvalue(double statistic);

}  // namespace larkspur::statistical_tests
