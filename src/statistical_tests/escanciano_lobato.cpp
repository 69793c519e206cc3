#include "src/statistical_tests/escanciano_lobato.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <new>

#include "numerics/chi_squared.hpp"
#include "numerics/correctly_rounded.hpp"
#include "base/internal_fault.hpp"
#include "src/statistical_tests/series_element.hpp"

namespace larkspur::statistical_tests {
namespace {

constexpr char zero_tau_prefix[] = "Zero \xCF\x84\xCC\x82 value at lag ";
static_assert(sizeof(zero_tau_prefix) - 1 == 23, "fixed part of the zero-tau message is 23 bytes");
constexpr char lag_exceeds_length_message[] = "d must not exceed the length of data";
constexpr char not_finite_message[] =
    "data are too large in magnitude for this test: rescale them (the test does not depend on scale)";

// Largest byte count a single allocation may ask for.
constexpr std::uint64_t max_buffer_bytes = (std::uint64_t{1} << 63) - 8;

double series_mean(const unsigned char* x, std::uint64_t n) noexcept {
    double sum = -0.0;
    for (std::uint64_t i = 0; i < n; ++i) {
        sum = sum + load_element(x, i);
    }
    return sum / static_cast<double>(n);
}

// Lags computed per kernel call when the variant allows more: bounded so
// that the result buffer below stays a small stack array.
constexpr std::size_t max_block_lags = 64;

std::atomic<LagBufferAllocator> lag_buffer_allocator{allocate_lag_buffer};

}  // namespace

void set_lag_buffer_allocator(LagBufferAllocator allocator) noexcept {
    lag_buffer_allocator.store(allocator != nullptr ? allocator : allocate_lag_buffer, std::memory_order_relaxed);
}

std::string ElError::message() const {
    switch (kind) {
        case ElErrorKind::ZeroTau:
            return zero_tau_prefix + std::to_string(value);
        case ElErrorKind::NotFinite:
            return not_finite_message;
        case ElErrorKind::LagExceedsLength:
            return lag_exceeds_length_message;
        case ElErrorKind::BufferUnavailable:
            return {};
    }
    return {};
}

std::unique_ptr<double[]> allocate_lag_buffer(std::uint64_t count) noexcept {
    if (count > max_buffer_bytes / sizeof(double) ||
        count > std::numeric_limits<std::size_t>::max() / sizeof(double)) {
        return nullptr;
    }
    return std::unique_ptr<double[]>(new (std::nothrow) double[static_cast<std::size_t>(count)]());
}

std::expected<ElResult, ElError> el_test(const void* series, std::uint64_t n, double q, std::uint64_t d,
                                         KernelVariant variant) {
    const auto* x = static_cast<const unsigned char*>(series);
    const double big_n = static_cast<double>(n);
    const double mean = series_mean(x, n);

    // Lags beyond n + 1 are never examined (lag n + 1 is an error), so the
    // buffer never needs more than n + 1 entries whatever d is.
    const std::uint64_t last_stored_lag = std::min(d, n);
    const std::unique_ptr<double[]> rho_squared =
        lag_buffer_allocator.load(std::memory_order_relaxed)(last_stored_lag + 1);
    if (!rho_squared) {
        return std::unexpected(ElError{ElErrorKind::BufferUnavailable, last_stored_lag + 1});
    }

    // Lags 1 .. n-1 in blocks computed side by side, then checked and stored
    // in ascending order, so the first zero tau-hat is the lowest one.
    const std::uint64_t last_paired_lag = std::min(d, n - 1);
    const std::size_t block = std::min(kernel_block_lags(variant), max_block_lags);
    LagSums sums[max_block_lags];
    for (std::uint64_t first = 1; first <= last_paired_lag; first += block) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(block, last_paired_lag - first + 1));
        lag_sums(variant, x, n, mean, first, count, sums);
        for (std::size_t b = 0; b < count; ++b) {
            const std::uint64_t j = first + b;
            const double pairs = static_cast<double>(n - j);
            const double gamma = sums[b].g / pairs;
            const double tau = sums[b].t / pairs;
            // Tested on the quotient: a positive T that underflows counts too.
            if (tau == 0.0) {
                return std::unexpected(ElError{ElErrorKind::ZeroTau, j});
            }
            // An infinite or overflowing series makes every rho^2 NaN or 0:
            // refuse rather than report "no correlation" from no information.
            if (!std::isfinite(gamma) || !std::isfinite(tau)) {
                return std::unexpected(ElError{ElErrorKind::NotFinite, j});
            }
            rho_squared[j] = (gamma * gamma) / tau;
        }
    }
    if (d >= n) {
        // No pairs at lag n: gamma and tau are NaN, and so is rho^2.
        rho_squared[n] = std::numeric_limits<double>::quiet_NaN();
    }
    if (d > n) {
        return std::unexpected(ElError{ElErrorKind::LagExceedsLength, n});
    }

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
    const double log_n = numerics::cr_log(big_n);
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
