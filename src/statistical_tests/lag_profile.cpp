#include "src/statistical_tests/lag_profile.hpp"

#include <algorithm>
#include <limits>

#include "numerics/correctly_rounded.hpp"
#include "numerics/floating_point_environment.hpp"
#include "src/statistical_tests/derived_lag.hpp"
#include "src/statistical_tests/lag_kernels.hpp"
#include "src/statistical_tests/lag_selection.hpp"
#include "src/statistical_tests/series_element.hpp"
#include "src/statistical_tests/series_scan.hpp"

namespace larkspur::statistical_tests {

std::expected<LagProfile, SeriesFailure> lag_profile(const void* data, std::uint64_t n, double q,
                                                     std::optional<std::uint64_t> d_given) {
    const auto outcome = test_series(data, n, q, d_given);
    if (!outcome) return std::unexpected(outcome.error());
    const numerics::FloatingPointScope environment;

    const auto* x = static_cast<const unsigned char*>(data);
    const std::uint64_t d = d_given ? *d_given : derived_lag(n);
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    LagProfile profile{*outcome, d, false, scan_series(data, n).mean, -0.0, {}, {}, {}, {}, {}, {}, {}, {}};
    for (auto* column : {&profile.g, &profile.t, &profile.gamma, &profile.tau, &profile.rho_squared}) {
        column->assign(d, nan);
    }
    for (std::uint64_t k = 0; k < n; ++k) {
        const double e = load_element(x, k) - profile.mean;
        profile.sum_of_squares = profile.sum_of_squares + e * e;
    }

    // The test's blocks of lags with the test's kernel: the same sums.
    const KernelVariant& kernel = active_kernel();
    const std::uint64_t last_paired_lag = std::min(d, n - 1);
    const std::size_t block = std::min<std::size_t>(kernel.block_lags, 64);
    LagSums sums[64];
    // rho_squared with the test's layout (entry 0 is 0.0) for the penalty switch.
    std::vector<double> rho_squared(std::min(d, n) + 1, 0.0);
    for (std::uint64_t first = 1; first <= last_paired_lag; first += block) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(block, last_paired_lag - first + 1));
        kernel.lag_sums(x, n, profile.mean, first, count, sums);
        for (std::size_t b = 0; b < count; ++b) {
            const std::uint64_t j = first + b;
            const double pairs = static_cast<double>(n - j);
            profile.g[j - 1] = sums[b].g;
            profile.t[j - 1] = sums[b].t;
            profile.gamma[j - 1] = sums[b].g / pairs;
            profile.tau[j - 1] = sums[b].t / pairs;
            rho_squared[j] = (profile.gamma[j - 1] * profile.gamma[j - 1]) / profile.tau[j - 1];
            profile.rho_squared[j - 1] = rho_squared[j];
        }
    }
    if (d >= n) rho_squared[n] = nan;

    const LagPenalty penalty = lag_penalty(rho_squared.data(), n, numerics::cr_log(static_cast<double>(n)), q, d);
    profile.bic_penalty = penalty.bic;
    profile.cumulative_statistic.resize(d);
    profile.penalty.resize(d);
    profile.criterion.resize(d);
    double running_sum = -0.0;
    for (std::uint64_t p = 1; p <= d; ++p) {
        running_sum = running_sum + rho_squared[p];
        profile.cumulative_statistic[p - 1] = cumulative_statistic(running_sum, n);
        profile.penalty[p - 1] = penalty.at(p);
        profile.criterion[p - 1] = profile.cumulative_statistic[p - 1] - profile.penalty[p - 1];
    }
    return profile;
}

}  // namespace larkspur::statistical_tests
