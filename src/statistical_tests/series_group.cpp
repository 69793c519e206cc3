#include "src/statistical_tests/series_group.hpp"

#include <algorithm>
#include <cmath>

#include "numerics/correctly_rounded.hpp"
#include "numerics/floating_point_environment.hpp"
#include "src/statistical_tests/group_block.hpp"
#include "src/statistical_tests/lag_selection.hpp"

namespace larkspur::statistical_tests {

unsigned group_fast_lanes(std::span<const GroupSeries> series, std::uint64_t n, double q, std::uint64_t d,
                          ElResult* out, const KernelVariant& kernel) {
    constexpr std::size_t width = group_width;
    if (series.empty() || series.size() > width || d == 0 || d >= n || d > group_max_lag) return 0;
    const numerics::FloatingPointScope environment;

    GroupSeries lanes[width];
    for (std::size_t s = 0; s < width; ++s) lanes[s] = series[std::min(s, series.size() - 1)];
    double mean[width];
    GroupSums sums;
    const unsigned usable = kernel.group_lag_sums(lanes, series.size(), n, d, mean, sums);

    unsigned taken = 0;
    const double log_n = numerics::cr_log(static_cast<double>(n));
    double rho_squared[group_max_lag + 1];
    rho_squared[0] = 0.0;
    for (std::size_t s = 0; s < series.size(); ++s) {
        if ((usable >> s & 1U) == 0) continue;
        bool clean = true;
        for (std::uint64_t j = 1; j <= d && clean; ++j) {
            const double pairs = static_cast<double>(n - j);
            const double gamma = sums.g[j - 1][s] / pairs;
            const double tau = sums.t[j - 1][s] / pairs;
            clean = tau != 0.0 && std::isfinite(gamma) && std::isfinite(tau);
            rho_squared[j] = (gamma * gamma) / tau;
        }
        if (!clean) continue;  // test_series gives the error, or whatever else
        out[s] = select_lag(rho_squared, n, log_n, q, d);
        taken |= 1U << s;
    }
    return taken;
}

}  // namespace larkspur::statistical_tests
