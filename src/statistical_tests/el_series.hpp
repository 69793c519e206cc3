// test_series: the Escanciano-Lobato test on one series as every entry
// point runs it: the shared series checks (with d = 0 as the test's own
// parameter failure), then el_test. The class, the batch runner and the lag
// profile all go through it, so a series gets the same verdict, message and
// bits whichever way it arrives.
//
// Contract:
//   * The values are read once before el_test's lag sums (check_series'
//     scan); the checks and el_test share that pass.
//   * No interpreter, no allocation on success except el_test's buffer:
//     callable on any thread.
//   * el_failure maps el_test's errors: a zero tau-hat is OSError, the
//     buffer's allocation failure a bare MemoryError, the rest ValueError.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>

#include "src/statistical_tests/escanciano_lobato.hpp"
#include "src/statistical_tests/series_checks.hpp"

namespace larkspur::statistical_tests {

[[nodiscard]] SeriesFailure el_failure(const ElError& error);

// The series: n binary64 values at `data` (any alignment), read in place.
[[nodiscard]] std::expected<ElResult, SeriesFailure> test_series(const void* data, std::uint64_t n, double q,
                                                                 std::optional<std::uint64_t> d);

}  // namespace larkspur::statistical_tests
