#include "src/statistical_tests/series_checks.hpp"

#include "numerics/floating_point_environment.hpp"
#include "src/statistical_tests/derived_lag.hpp"
#include "src/statistical_tests/series_scan.hpp"

namespace larkspur::statistical_tests {
namespace {

constexpr char empty_series[] = "data must not be empty";
constexpr char nan_in_series[] = "data must not contain NaN values";
constexpr char d_not_positive[] = "d must be positive";
constexpr char infinity_in_series[] = "data must not contain infinite values";
constexpr char single_value[] = "data must contain at least two values";

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
    // One pass before the lag sums gives every check below and el_test's
    // mean and scale; the scope makes its sum the same bits as el_test's own.
    const numerics::FloatingPointScope environment;
    const SeriesScan scan = scan_series(data, n);
    if (scan.has_nan) return fail(SeriesCheck::HasNan);
    if (d && *d == 0) return fail(SeriesCheck::DNotPositive);
    // Without these two checks the test would report p = 1 ("no correlation")
    // for data it cannot assess: every robust autocorrelation would be NaN,
    // or there would be no pair of observations at all.
    if (scan.has_infinity) return fail(SeriesCheck::HasInfinity);
    if (n == 1) return fail(SeriesCheck::SingleValue);

    const auto outcome = el_test(scan, data, n, q, d ? *d : derived_lag(n));
    if (!outcome) return std::unexpected(SeriesFailure{outcome.error()});
    return *outcome;
}

}  // namespace larkspur::statistical_tests
