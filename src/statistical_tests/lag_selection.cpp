#include "src/statistical_tests/lag_selection.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "base/internal_fault.hpp"
#include "numerics/chi_squared.hpp"

namespace larkspur::statistical_tests {

LagPenalty lag_penalty(const double* rho_squared, std::uint64_t n, double log_n, double q, std::uint64_t d) noexcept {
    // Largest robust autocorrelation; the NaN entry of lag n (when d = n) is
    // skipped, entry 0 holds 0.0 and cannot change the result.
    double largest = 0.0;
    for (std::uint64_t i = 0; i <= d; ++i) {
        const double r = std::sqrt(rho_squared[i]);
        if (!std::isnan(r) && r > largest) {
            largest = r;
        }
    }
    // A NaN on either side is unordered and selects 2p.
    const double threshold = std::sqrt(q * log_n);
    const double scaled_largest = std::sqrt(static_cast<double>(n)) * largest;
    return LagPenalty{threshold >= scaled_largest, log_n};
}

double statistic_pvalue(double statistic) {
    const auto chi_squared = numerics::ChiSquaredDistribution::create(1.0);
    if (!chi_squared) {
        throw InternalFault("freedom = 1: " + std::string(numerics::to_string(chi_squared.error())));
    }
    return 1.0 - chi_squared->cdf(statistic);
}

ElResult select_lag(const double* rho_squared, std::uint64_t n, double log_n, double q, std::uint64_t d) {
    const LagPenalty penalty = lag_penalty(rho_squared, n, log_n, q, d);
    std::uint64_t p_tilde = 0;
    double best = -std::numeric_limits<double>::infinity();
    double best_sum = -0.0;
    double running_sum = -0.0;
    for (std::uint64_t p = 1; p <= d; ++p) {
        running_sum = running_sum + rho_squared[p];
        const double criterion = cumulative_statistic(running_sum, n) - penalty.at(p);
        if (criterion > best) {
            p_tilde = p;
            best = criterion;
            best_sum = running_sum;
        }
    }
    const double statistic = cumulative_statistic(best_sum, n);
    return ElResult{p_tilde, statistic, statistic_pvalue(statistic)};
}

}  // namespace larkspur::statistical_tests
