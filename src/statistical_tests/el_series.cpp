#include "src/statistical_tests/el_series.hpp"

#include "numerics/floating_point_environment.hpp"
#include "src/statistical_tests/derived_lag.hpp"

namespace larkspur::statistical_tests {
namespace {

constexpr char d_not_positive[] = "d must be positive";

FailureException exception_of(ElErrorKind kind) noexcept {
    switch (kind) {
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

}  // namespace

SeriesFailure el_failure(const ElError& error) { return SeriesFailure(exception_of(error.kind), error.message()); }

std::expected<ElResult, SeriesFailure> test_series(const void* data, std::uint64_t n, double q,
                                                   std::optional<std::uint64_t> d) {
    // The scope makes the scan's sum the same bits as el_test's own.
    const numerics::FloatingPointScope environment;
    const SeriesFailure d_failure(FailureException::ValueError, d_not_positive);
    const auto scan = check_series(data, n, d && *d == 0 ? &d_failure : nullptr);
    if (!scan) return std::unexpected(scan.error());
    const auto outcome = el_test(*scan, data, n, q, d ? *d : derived_lag(n));
    if (!outcome) return std::unexpected(el_failure(outcome.error()));
    return *outcome;
}

}  // namespace larkspur::statistical_tests
