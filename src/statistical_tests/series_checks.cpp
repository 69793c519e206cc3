#include "src/statistical_tests/series_checks.hpp"

#include <algorithm>
#include <bit>

#include "src/statistical_tests/derived_lag.hpp"
#include "src/statistical_tests/series_element.hpp"

namespace larkspur::statistical_tests {
namespace {


constexpr char empty_series[] = "data must not be empty";
constexpr char nan_in_series[] = "data must not contain NaN values";
constexpr char d_not_positive[] = "d must be positive";
constexpr char infinity_in_series[] = "data must not contain infinite values";
constexpr char single_value[] = "data must contain at least two values";

enum class Finiteness { AllFinite, HasInfinity, HasNan };

// One pass over the bit patterns: an infinity or a NaN has an exponent field
// of all ones, and only then does adding one to the masked exponent carry
// into the (masked-off) sign bit. Adds and ors without an early exit inside
// a block run in vector lanes at about memory speed; only a series that has
// such a value is read again, to tell a NaN (which wins, wherever it is)
// from an infinity.
Finiteness classify_values(const void* data, std::uint64_t n) noexcept {
    constexpr std::uint64_t exponent_mask = 0x7ff0000000000000ULL;
    constexpr std::uint64_t exponent_one = 0x0010000000000000ULL;
    constexpr std::uint64_t carry = 0x8000000000000000ULL;
    constexpr std::uint64_t block = 2048;
    const auto* bytes = static_cast<const unsigned char*>(data);
    bool non_finite = false;
    for (std::uint64_t start = 0; start < n && !non_finite; start += block) {
        const std::uint64_t stop = std::min(n, start + block);
        std::uint64_t any = 0;
        for (std::uint64_t i = start; i < stop; ++i) {
            const auto bits = std::bit_cast<std::uint64_t>(load_element(bytes, i));
            any |= (bits & exponent_mask) + exponent_one;
        }
        non_finite = (any & carry) != 0;
    }
    if (!non_finite) return Finiteness::AllFinite;
    for (std::uint64_t i = 0; i < n; ++i) {
        const double value = load_element(bytes, i);
        if (value != value) return Finiteness::HasNan;
    }
    return Finiteness::HasInfinity;
}

std::unexpected<SeriesFailure> fail(SeriesCheck check) noexcept { return std::unexpected(SeriesFailure{check}); }

}  // namespace

FailureException SeriesFailure::exception() const noexcept {
    const auto* error = std::get_if<ElError>(&reason);
    if (error == nullptr) return FailureException::ValueError;
    switch (error->kind) {
        case ElErrorKind::ZeroTau:
            return FailureException::OSError;
        case ElErrorKind::BufferUnavailable:
            return FailureException::MemoryError;
        case ElErrorKind::NotFinite:
        case ElErrorKind::TooSmall:
        case ElErrorKind::LagExceedsLength:
            break;
    }
    return FailureException::ValueError;
}

std::string SeriesFailure::message() const {
    if (const auto* error = std::get_if<ElError>(&reason)) return error->message();
    switch (std::get<SeriesCheck>(reason)) {
        case SeriesCheck::Empty:
            return empty_series;
        case SeriesCheck::HasNan:
            return nan_in_series;
        case SeriesCheck::DNotPositive:
            return d_not_positive;
        case SeriesCheck::HasInfinity:
            return infinity_in_series;
        case SeriesCheck::SingleValue:
            break;
    }
    return single_value;
}

std::expected<ElResult, SeriesFailure> test_series(const void* data, std::uint64_t n, double q,
                                                   std::optional<std::uint64_t> d) {
    if (n == 0) return fail(SeriesCheck::Empty);
    const Finiteness finiteness = classify_values(data, n);
    if (finiteness == Finiteness::HasNan) return fail(SeriesCheck::HasNan);
    if (d && *d == 0) return fail(SeriesCheck::DNotPositive);
    // Without these two checks the test would report p = 1 ("no correlation")
    // for data it cannot assess: every robust autocorrelation would be NaN,
    // or there would be no pair of observations at all.
    if (finiteness == Finiteness::HasInfinity) return fail(SeriesCheck::HasInfinity);
    if (n == 1) return fail(SeriesCheck::SingleValue);

    const auto outcome = el_test(data, n, q, d ? *d : derived_lag(n));
    if (!outcome) return std::unexpected(SeriesFailure{outcome.error()});
    return *outcome;
}

}  // namespace larkspur::statistical_tests
