#include "src/statistical_tests/series_checks.hpp"

namespace larkspur::statistical_tests {
namespace {

constexpr char empty_series[] = "data must not be empty";
constexpr char nan_in_series[] = "data must not contain NaN values";
constexpr char infinity_in_series[] = "data must not contain infinite values";
constexpr char single_value[] = "data must contain at least two values";

const char* check_message(SeriesCheck check) noexcept {
    switch (check) {
        case SeriesCheck::Empty:
            return empty_series;
        case SeriesCheck::HasNan:
            return nan_in_series;
        case SeriesCheck::HasInfinity:
            return infinity_in_series;
        case SeriesCheck::SingleValue:
            break;
    }
    return single_value;
}

}  // namespace

SeriesFailure::SeriesFailure(SeriesCheck check) : SeriesFailure(FailureException::ValueError, check_message(check)) {}

std::expected<SeriesScan, SeriesFailure> check_series(const void* data, std::uint64_t n,
                                                      const SeriesFailure* parameter_failure) {
    if (n == 0) return std::unexpected(SeriesFailure(SeriesCheck::Empty));
    const SeriesScan scan = scan_series(data, n);
    if (scan.has_nan) return std::unexpected(SeriesFailure(SeriesCheck::HasNan));
    if (parameter_failure != nullptr) return std::unexpected(*parameter_failure);
    // Without these two checks a test would report "no dependence" for data
    // it cannot assess: every statistic would be NaN, or there would be no
    // pair of observations at all.
    if (scan.has_infinity) return std::unexpected(SeriesFailure(SeriesCheck::HasInfinity));
    if (n == 1) return std::unexpected(SeriesFailure(SeriesCheck::SingleValue));
    return scan;
}

}  // namespace larkspur::statistical_tests
