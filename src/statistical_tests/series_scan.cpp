#include "src/statistical_tests/series_scan.hpp"

#include <cmath>

#include "src/statistical_tests/series_element.hpp"

namespace larkspur::statistical_tests {
namespace {

// Elements per step: the smallest and largest value are kept in this many
// chains each, so that none of them is longer than the sum's own.
constexpr std::uint64_t step = 4;

}  // namespace

// The sum is one dependency chain of additions (its order fixes its bits),
// so the pass runs at the adder's latency and leaves the other ports idle.
// Beside it ride the smallest and the largest value (a min and a max per
// element, in independent chains). They give the rest:
//   * a NaN anywhere makes the sum NaN, and an infinity makes it infinite or
//     NaN, so a finite sum proves both absent; only a series whose sum is
//     not finite (rare: such data, or an overflowing sum) is read again to
//     tell a NaN, which wins wherever it is, from an infinity;
//   * the series is constant exactly when its smallest and largest values
//     are equal (as doubles: -0.0 equals 0.0, as the class's test does);
//   * the largest magnitude is the larger of -smallest and largest.
SeriesScan scan_series(const void* data, std::uint64_t n) noexcept {
    const auto* x = static_cast<const unsigned char*>(data);
    const double first = load_element(x, 0);
    double sum = -0.0;
    double low[step] = {first, first, first, first};
    double high[step] = {first, first, first, first};
    std::uint64_t i = 0;
    for (; i + step <= n; i += step) {
        double value[step];
        for (std::uint64_t s = 0; s < step; ++s) value[s] = load_element(x, i + s);
        for (std::uint64_t s = 0; s < step; ++s) sum = sum + value[s];
        for (std::uint64_t s = 0; s < step; ++s) {
            low[s] = value[s] < low[s] ? value[s] : low[s];
            high[s] = value[s] > high[s] ? value[s] : high[s];
        }
    }
    for (; i < n; ++i) {
        const double value = load_element(x, i);
        sum = sum + value;
        low[0] = value < low[0] ? value : low[0];
        high[0] = value > high[0] ? value : high[0];
    }
    for (std::uint64_t s = 1; s < step; ++s) {
        low[0] = low[s] < low[0] ? low[s] : low[0];
        high[0] = high[s] > high[0] ? high[s] : high[0];
    }
    SeriesScan scan{.has_nan = false,
                    .has_infinity = false,
                    .constant = low[0] == high[0],
                    .mean = 0.0,
                    .largest = std::fabs(-low[0] > high[0] ? -low[0] : high[0])};
    if (!std::isfinite(sum)) {
        for (std::uint64_t k = 0; k < n && !scan.has_nan; ++k) {
            const double value = load_element(x, k);
            scan.has_nan = value != value;
            scan.has_infinity = scan.has_infinity || std::isinf(value);
        }
        scan.has_infinity = scan.has_infinity && !scan.has_nan;
        scan.constant = scan.constant && !scan.has_nan;
    }
    // The mean of a constant series is that value: its deviations are then
    // exactly zero (zero tau-hat at lag 1), where the rounded sum of, say,
    // 0.1 three times would leave equal nonzero deviations and rho = 1.
    scan.mean = scan.constant ? first : sum / static_cast<double>(n);
    return scan;
}

}  // namespace larkspur::statistical_tests
