// lag_profile: what drives the test, lag by lag, computed by the test's own
// operations (the same mean, the same lag kernel and sums, the same penalty
// switch and running sum), so that the cumulative statistic at p~ is the
// test's statistic to the bit and the chosen order is its p_tilde.
//
// Contract:
//   * The series first goes through test_series: a series the test refuses
//     gets the same SeriesFailure, and nothing else is computed.
//   * Per-lag vectors hold lags 1 .. d at index j - 1. Lag n (possible when
//     d = n) has no pairs: its entries are NaN, as in the test.
//   * No interpreter; allocates the vectors (std::bad_alloc on exhaustion).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

#include "src/statistical_tests/el_series.hpp"

namespace larkspur::statistical_tests {

struct LagProfile {
    ElResult result;
    std::uint64_t d;
    bool bic_penalty;           // the penalty in force: p ln n, else 2p
    double mean;                // the deviations' centre e_k = x_k - mean
    double sum_of_squares;      // sequential sum of e_k^2 (n gamma_0)
    std::vector<double> g;      // G_j = sum_k e_k e_{k+j}
    std::vector<double> t;      // T_j = sum_k e_k^2 e_{k+j}^2
    std::vector<double> gamma;  // G_j / (n - j)
    std::vector<double> tau;    // T_j / (n - j)
    std::vector<double> rho_squared;
    std::vector<double> cumulative_statistic;  // n (rho_1^2 + ... + rho_j^2)
    std::vector<double> penalty;
    std::vector<double> criterion;  // cumulative statistic - penalty
};

[[nodiscard]] std::expected<LagProfile, SeriesFailure> lag_profile(const void* data, std::uint64_t n, double q,
                                                                   std::optional<std::uint64_t> d);

}  // namespace larkspur::statistical_tests
