// The checks every test makes on a series before its own computation, and
// the failure value every test reports: one shape, one map to exceptions,
// whichever test or entry point produced it.
//
// Contract:
//   * check_series: first failure wins: empty; a NaN anywhere; the test's
//     own parameter failure, if any (it is reported after NaN and before an
//     infinity, the order the class has always had); an infinity anywhere;
//     a single value. On success it returns the one scan of the values
//     (scan_series), which the test may reuse instead of reading again.
//   * The scan's sum depends on the floating-point environment: callers
//     hold a FloatingPointScope around it.
//   * No interpreter and no allocation: callable on any thread.
//   * A SeriesFailure is the exception class and the exact text a series is
//     refused with (empty text only for the bare MemoryError of a buffer).
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "src/statistical_tests/series_scan.hpp"

namespace larkspur::statistical_tests {

// The shared checks, in their order of precedence.
enum class SeriesCheck : std::uint8_t { Empty, HasNan, HasInfinity, SingleValue };

// The exception class a failure is raised as.
enum class FailureException : std::uint8_t { ValueError, OSError, MemoryError };

class SeriesFailure {
public:
    SeriesFailure(FailureException exception, std::string message) noexcept
        : exception_(exception), message_(std::move(message)) {}
    explicit SeriesFailure(SeriesCheck check);

    [[nodiscard]] FailureException exception() const noexcept { return exception_; }
    // The exact text raised; empty for the allocation failure (bare MemoryError).
    [[nodiscard]] const std::string& message() const noexcept { return message_; }
    friend bool operator==(const SeriesFailure&, const SeriesFailure&) = default;

private:
    FailureException exception_;
    std::string message_;
};

// The n binary64 values at `data` (any alignment), read in place;
// `parameter_failure` (may be null) is the test's own refusal of its options.
[[nodiscard]] std::expected<SeriesScan, SeriesFailure> check_series(const void* data, std::uint64_t n,
                                                                    const SeriesFailure* parameter_failure);

}  // namespace larkspur::statistical_tests
