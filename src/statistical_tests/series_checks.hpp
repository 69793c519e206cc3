// test_series: the checks the result class makes on one series, in its
// order, then el_test. Shared by the class and by the batch module, so that
// a series gets the same verdict, message and bits whichever way it arrives.
//
// Contract:
//   * Checks, first failure wins: empty; a NaN anywhere; d = 0; an infinity
//     anywhere; a single value; then el_test's own failures.
//   * The values are read once before el_test's lag sums (scan_series); the
//     checks and el_test share that pass.
//   * No interpreter, no allocation on success except el_test's buffer:
//     callable on any thread. A failure is a small value; its message text
//     is formed only when asked for.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <variant>

#include "src/statistical_tests/derived_lag.hpp"
#include "src/statistical_tests/escanciano_lobato.hpp"

namespace larkspur::statistical_tests {

// The checks made here, before el_test; el_test's own failures are kept as
// its ElError.
enum class SeriesCheck : std::uint8_t { Empty, HasNan, DNotPositive, HasInfinity, SingleValue };

// The exception class a failure is raised as.
enum class FailureException : std::uint8_t { ValueError, OSError, MemoryError };

struct SeriesFailure {
    std::variant<SeriesCheck, ElError> reason;

    [[nodiscard]] FailureException exception() const noexcept;
    // The exact text raised; empty for the allocation failure (bare MemoryError).
    [[nodiscard]] std::string message() const;
    friend bool operator==(const SeriesFailure&, const SeriesFailure&) = default;
};

// The series: n binary64 values at `data` (any alignment), read in place.
[[nodiscard]] std::expected<ElResult, SeriesFailure> test_series(const void* data, std::uint64_t n, double q,
                                                                 std::optional<std::uint64_t> d);

}  // namespace larkspur::statistical_tests
