#include "src/statistical_tests/lag_selection.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "base/internal_fault.hpp"
#include "numerics/chi_squared.hpp"

namespace larkspur::statistical_tests {

ElResult select_lag(const double* rho_squared, std::uint64_t n, double log_n, double q, std::uint64_t d) {
    const double big_n = static_cast<double>(n);

    // Largest robust autocorrelation; the NaN entry of lag n (when d = n) is
    // skipped, entry 0 holds 0.0 and cannot change the result.
    double largest = 0.0;
    for (std::uint64_t i = 0; i <= d; ++i) {
        const double r = std::sqrt(rho_squared[i]);
        if (!std::isnan(r) && r > largest) {
            largest = r;
        }
    }

    // Penalty switch: p*ln(n) (BIC-like) unless some autocorrelation is large
    // relative to sqrt(q ln n / n), then 2p (AIC-like). A NaN on either side
    // is unordered and selects 2p.
    const double threshold = std::sqrt(q * log_n);
    const double scaled_largest = std::sqrt(big_n) * largest;
    const bool bic_penalty = threshold >= scaled_largest;

    std::uint64_t p_tilde = 0;
    double best = -std::numeric_limits<double>::infinity();
    double best_sum = -0.0;
    double running_sum = -0.0;
    for (std::uint64_t p = 1; p <= d; ++p) {
        running_sum = running_sum + rho_squared[p];
        const double penalty =
            bic_penalty ? static_cast<double>(p) * log_n : static_cast<double>(2 * p);
        const double criterion = (running_sum * big_n) - penalty;
        if (criterion > best) {
            p_tilde = p;
            best = criterion;
            best_sum = running_sum;
        }
    }

    const double statistic = best_sum * big_n;
    const auto chi_squared = numerics::ChiSquaredDistribution::create(1.0);
    if (!chi_squared) {
        throw InternalFault("freedom = 1: " + std::string(numerics::to_string(chi_squared.error())));
    }
    const double pvalue = 1.0 - chi_squared->cdf(statistic);
    return ElResult{p_tilde, statistic, pvalue};
}

}  // namespace larkspur::statistical_tests
