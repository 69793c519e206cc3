#include "src/statistical_tests/escanciano_lobato.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>

#include "numerics/correctly_rounded.hpp"
#include "numerics/floating_point_environment.hpp"
#include "src/statistical_tests/lag_selection.hpp"
#include "src/statistical_tests/series_element.hpp"

namespace larkspur::statistical_tests {
namespace {

constexpr char zero_tau_prefix[] = "Zero \xCF\x84\xCC\x82 value at lag ";
static_assert(sizeof(zero_tau_prefix) - 1 == 23, "fixed part of the zero-tau message is 23 bytes");
constexpr char lag_exceeds_length_message[] = "d must not exceed the length of data";
constexpr char not_finite_message[] =
    "data are too large in magnitude for this test: rescale them (the test does not depend on scale)";

constexpr char too_small_message[] =
    "data are too small in magnitude for this test: rescale them (the test does not depend on scale)";

bool same_outcome(const std::expected<ElResult, ElError>& a, const std::expected<ElResult, ElError>& b) noexcept {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return a.error().kind == b.error().kind && a.error().value == b.error().value;
    return a->p_tilde == b->p_tilde &&
           std::bit_cast<std::uint64_t>(a->statistic) == std::bit_cast<std::uint64_t>(b->statistic) &&
           std::bit_cast<std::uint64_t>(a->pvalue) == std::bit_cast<std::uint64_t>(b->pvalue);
}

// Lags computed per kernel call when the variant allows more: bounded so
// that the result buffer below stays a small stack array.
constexpr std::size_t max_block_lags = 64;

}  // namespace

std::string ElError::message() const {
    switch (kind) {
        case ElErrorKind::ZeroTau:
            return zero_tau_prefix + std::to_string(value);
        case ElErrorKind::NotFinite:
            return not_finite_message;
        case ElErrorKind::TooSmall:
            return too_small_message;
        case ElErrorKind::LagExceedsLength:
            return lag_exceeds_length_message;
        case ElErrorKind::BufferUnavailable:
            return {};
    }
    return {};
}

namespace {

// The test on a series whose mean is known: buffer, lags, criterion, p-value.
std::expected<ElResult, ElError> test_with_mean(const unsigned char* x, std::uint64_t n, double q, std::uint64_t d,
                                                const KernelVariant& kernel, double mean) {
    // Lags beyond n + 1 are never examined (lag n + 1 is an error), so the
    // buffer never needs more than n + 1 entries whatever d is.
    const std::uint64_t last_stored_lag = std::min(d, n);
    const std::unique_ptr<double[]> rho_squared = allocate_lag_buffer(last_stored_lag + 1);
    if (!rho_squared) {
        return std::unexpected(ElError{ElErrorKind::BufferUnavailable, last_stored_lag + 1});
    }

    // Lags 1 .. n-1 in blocks computed side by side, then checked and stored
    // in ascending order, so the first zero tau-hat is the lowest one.
    const std::uint64_t last_paired_lag = std::min(d, n - 1);
    const std::size_t block = std::min(kernel.block_lags, max_block_lags);
    LagSums sums[max_block_lags];
    for (std::uint64_t first = 1; first <= last_paired_lag; first += block) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(block, last_paired_lag - first + 1));
        kernel.lag_sums(x, n, mean, first, count, sums);
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
    return select_lag(rho_squared.get(), n, numerics::cr_log(static_cast<double>(n)), q, d);
}

}  // namespace

std::expected<ElResult, ElError> el_test(const void* series, std::uint64_t n, double q, std::uint64_t d,
                                         const KernelVariant& kernel) {
    const numerics::FloatingPointScope environment;
    return el_test(scan_series(series, n), series, n, q, d, kernel);
}

std::expected<ElResult, ElError> el_test(const SeriesScan& scan, const void* series, std::uint64_t n, double q,
                                         std::uint64_t d, const KernelVariant& kernel) {
    // The bits below assume nearest-even rounding and kept subnormals,
    // whatever the calling thread's mode; the caller's comes back on return.
    const numerics::FloatingPointScope environment;
    const auto* x = static_cast<const unsigned char*>(series);
    auto outcome = test_with_mean(x, n, q, d, kernel, scan.mean);
    // Multiplying by 2^k is exact, and so is every addition and subtraction
    // even among subnormals; only products and quotients lose bits, and only
    // below 2^-1022. The first to do so are the fourth-power quantities
    // (tau-hat, the terms of T, gamma-hat^2 <= tau-hat), near 2^-254 for data
    // whose largest magnitude is about 1; at too_small_below even a lag with
    // |rho| down to 2^-180 keeps its bits, so larger data are not checked.
    if (scan.constant || !(scan.largest < too_small_below)) {
        return outcome;
    }
    // Tiny data: the same series scaled by a power of two into [1, 2) (exact,
    // and the same copy for every scaling of the data) must give the same
    // outcome to the bit; otherwise a product or quotient underflowed and
    // changed it, and the test refuses instead of reporting drifted numbers,
    // "no correlation" or a zero tau-hat of a series that is not constant.
    const int shift = -std::ilogb(scan.largest);
    const std::unique_ptr<double[]> scaled(new (std::nothrow) double[static_cast<std::size_t>(n)]);
    if (!scaled) {
        return std::unexpected(ElError{ElErrorKind::BufferUnavailable, n});
    }
    for (std::uint64_t i = 0; i < n; ++i) {
        scaled[i] = std::ldexp(load_element(x, i), shift);
    }
    const auto* scaled_bytes = reinterpret_cast<const unsigned char*>(scaled.get());
    const auto reference = test_with_mean(scaled_bytes, n, q, d, kernel, scan_series(scaled_bytes, n).mean);
    if (!same_outcome(outcome, reference)) {
        return std::unexpected(ElError{ElErrorKind::TooSmall, 0});
    }
    return outcome;
}

}  // namespace larkspur::statistical_tests
