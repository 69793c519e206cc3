// el_test: the Escanciano–Lobato automatic portmanteau test for serial
// correlation, robust to conditional heteroscedasticity.
//
// Contract:
//   * Preconditions (checked by the caller): n >= 1, no NaN in the series
//     (+-inf allowed), q > 0 (+inf allowed), d >= 1 with no upper bound.
//   * The series is read in place through an untyped pointer; it may be
//     unaligned and is never written or copied.
//   * Every sum is sequential in ascending index order from -0.0, with no
//     fused multiply-add, and log/exp are the correctly rounded cr_log/cr_exp,
//     so results are the same bits on every platform.
//   * Memory: one zero-filled buffer of min(d, n) + 1 doubles, released on
//     every exit; tiny data (below) also a scaled copy of the series.
//   * Ordinary failures come back as ElError, checked in order: buffer, then
//     lags ascending; at each lag with pairs a zero tau-hat, then a gamma-hat
//     or tau-hat that is not finite (infinite data, or fourth powers beyond
//     the largest double). The first failing lag decides, and any of these
//     wins over d > n.
//   * Scale: results do not depend on x -> x * 2^k. A non-constant series
//     whose largest magnitude is below too_small_below (2^-200) is run a second time scaled
//     into [1, 2); when the two outcomes (result bits, or error and lag)
//     differ, underflow has changed the numbers and the outcome is TooSmall.
//   * A constant series has mean equal to its value, so it fails with a
//     zero tau-hat at lag 1 at every scale.
//   * Runs in FloatingPointScope: the caller's rounding mode, flush-to-zero
//     or denormals-are-zero cannot change a bit, and come back on return.
//     InternalFault is thrown only for "cannot happen" branches.
#pragma once

#include <bit>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "src/statistical_tests/lag_kernels.hpp"
#include "src/statistical_tests/series_scan.hpp"

namespace larkspur::statistical_tests {

// Below this largest magnitude a non-constant series is also tested scaled
// into [1, 2) (the tiny-data rule above); the side-by-side group path leaves
// such series to el_test.
inline constexpr double too_small_below = 0x1p-200;
static_assert(std::bit_cast<std::uint64_t>(too_small_below) == 0x3370000000000000ULL, "2^-200: biased exponent 823");

struct ElResult {
    std::uint64_t p_tilde;
    double statistic;
    double pvalue;
};

enum class ElErrorKind {
    ZeroTau,            // the robust variance at `value` (a lag) is zero
    NotFinite,          // gamma-hat or tau-hat at `value` (a lag) is infinite or NaN
    TooSmall,           // underflow changed the outcome (tiny data); `value` is 0
    LagExceedsLength,   // d > n; `value` is n
    BufferUnavailable,  // the min(d, n) + 1 working buffer could not be allocated
};

struct ElError {
    ElErrorKind kind;
    std::uint64_t value;

    // The user-facing text: "Zero τ̂ value at lag <lag>", the too-large or
    // too-small text, "d must not exceed the length of data", or an empty text for the
    // allocation failure (raised as a bare MemoryError).
    [[nodiscard]] std::string message() const;
    friend bool operator==(const ElError&, const ElError&) = default;
};

// `kernel` selects the lag kernel; every variant gives the same bits, so
// callers use the default (the running one). Tests force each one.
[[nodiscard]] std::expected<ElResult, ElError> el_test(const void* series, std::uint64_t n, double q, std::uint64_t d,
                                                       const KernelVariant& kernel = active_kernel());
// The same, for a caller that already scanned the series (scan_series of
// these n values, inside a FloatingPointScope) and so does not read it again
// before the lag sums.
[[nodiscard]] std::expected<ElResult, ElError> el_test(const SeriesScan& scan, const void* series, std::uint64_t n,
                                                       double q, std::uint64_t d,
                                                       const KernelVariant& kernel = active_kernel());

// The working buffer: `count` zero-filled doubles, or null when the size is
// beyond what can be addressed or the allocation fails. Defined alone in
// lag_buffer.cpp, so that a test program can link its own in its place and
// drive the failure path (tests/native/lag_buffer_failure_test.cpp).
[[nodiscard]] std::unique_ptr<double[]> allocate_lag_buffer(std::uint64_t count) noexcept;

}  // namespace larkspur::statistical_tests
