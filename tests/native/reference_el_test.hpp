// The straightforward Escanciano–Lobato computation: one lag at a time, the
// two sums of a lag in two separate passes, fresh sums for every criterion.
// It is the baseline that every optimised kernel must match bit for bit, and
// the yardstick of the benchmarks. Keep it plain: no cleverness here.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <expected>
#include <limits>
#include <vector>

#include "numerics/chi_squared.hpp"
#include "numerics/correctly_rounded.hpp"
#include "src/statistical_tests/escanciano_lobato.hpp"

namespace larkspur::testing {

inline std::expected<statistical_tests::ElResult, statistical_tests::ElError> reference_el_test_as_given(
    const void* series, std::uint64_t n, double q, std::uint64_t d) {
    using statistical_tests::ElError;
    using statistical_tests::ElErrorKind;
    const auto at = [series](std::uint64_t i) {
        double value;
        std::memcpy(&value, static_cast<const unsigned char*>(series) + i * sizeof(double), sizeof value);
        return value;
    };
    const double big_n = static_cast<double>(n);
    double sum = -0.0;
    for (std::uint64_t i = 0; i < n; ++i) sum = sum + at(i);
    bool constant = true;
    for (std::uint64_t i = 1; i < n; ++i) constant = constant && at(i) == at(0);
    const double mean = constant ? at(0) : sum / big_n;

    std::vector<double> rho2(d + 1, 0.0);
    for (std::uint64_t j = 1; j <= d; ++j) {
        if (j > n) return std::unexpected(ElError{ElErrorKind::LagExceedsLength, n});
        const std::uint64_t m = n - j;
        double gamma = std::numeric_limits<double>::quiet_NaN();
        double tau = std::numeric_limits<double>::quiet_NaN();
        if (m != 0) {
            double g = -0.0;
            for (std::uint64_t k = 0; k < m; ++k) g = g + (at(k) - mean) * (at(k + j) - mean);
            double t = -0.0;
            for (std::uint64_t k = 0; k < m; ++k) {
                const double a = at(k) - mean;
                const double b = at(k + j) - mean;
                t = t + (a * a) * (b * b);
            }
            gamma = g / static_cast<double>(m);
            tau = t / static_cast<double>(m);
            if (tau == 0.0) return std::unexpected(ElError{ElErrorKind::ZeroTau, j});
            if (!std::isfinite(gamma) || !std::isfinite(tau))
                return std::unexpected(ElError{ElErrorKind::NotFinite, j});
        }
        rho2[j] = (gamma * gamma) / tau;
    }
    double largest = 0.0;
    for (std::uint64_t i = 0; i <= d; ++i) {
        const double r = std::sqrt(rho2[i]);
        if (!std::isnan(r) && r > largest) largest = r;
    }
    const double log_n = numerics::cr_log(big_n);
    const bool bic = std::sqrt(q * log_n) >= std::sqrt(big_n) * largest;
    std::uint64_t p_tilde = 0;
    double best = -std::numeric_limits<double>::infinity();
    for (std::uint64_t p = 1; p <= d; ++p) {
        double s = -0.0;
        for (std::uint64_t i = 1; i <= p; ++i) s = s + rho2[i];
        const double penalty = bic ? static_cast<double>(p) * log_n : static_cast<double>(2 * p);
        const double criterion = (s * big_n) - penalty;
        if (criterion > best) {
            best = criterion;
            p_tilde = p;
        }
    }
    double s = -0.0;
    for (std::uint64_t i = 1; i <= p_tilde; ++i) s = s + rho2[i];
    const double statistic = s * big_n;
    const double pvalue = 1.0 - numerics::ChiSquaredDistribution::create(1.0)->cdf(statistic);
    return statistical_tests::ElResult{p_tilde, statistic, pvalue};
}

// The scale rule: a non-constant series whose largest magnitude is below
// 2^-200 must give the outcome of its copy scaled into [1, 2), or it is
// refused as too small.
inline std::expected<statistical_tests::ElResult, statistical_tests::ElError> reference_el_test(const void* series,
                                                                                                std::uint64_t n,
                                                                                                double q,
                                                                                                std::uint64_t d) {
    using statistical_tests::ElError;
    using statistical_tests::ElErrorKind;
    std::vector<double> x(n);
    if (n != 0) std::memcpy(x.data(), series, n * sizeof(double));
    const auto outcome = reference_el_test_as_given(x.data(), n, q, d);
    double largest = 0.0;
    bool constant = true;
    for (const double v : x) {
        largest = std::max(largest, std::fabs(v));
        constant = constant && v == x[0];
    }
    if (constant || largest >= 0x1p-200) return outcome;
    for (double& v : x) v = std::ldexp(v, -std::ilogb(largest));
    const auto scaled = reference_el_test_as_given(x.data(), n, q, d);
    const bool same =
        outcome.has_value() == scaled.has_value() &&
        (outcome ? outcome->p_tilde == scaled->p_tilde &&
                       std::bit_cast<std::uint64_t>(outcome->statistic) ==
                           std::bit_cast<std::uint64_t>(scaled->statistic) &&
                       std::bit_cast<std::uint64_t>(outcome->pvalue) == std::bit_cast<std::uint64_t>(scaled->pvalue)
                 : outcome.error().kind == scaled.error().kind && outcome.error().value == scaled.error().value);
    if (!same) return std::unexpected(ElError{ElErrorKind::TooSmall, 0});
    return outcome;
}

}  // namespace larkspur::testing
