// run_batch: the checked test (test_series) on every series of a batch, on
// the calling thread plus up to threads - 1 worker threads. No interpreter
// is touched here; the caller releases its lock around the call.
//
// Contract:
//   * Series are claimed in chunks of consecutive indices (a few tens of
//     thousands of values each) from one shared counter. Runs of series of
//     one length are computed side by side (group_fast_lanes), the rest one
//     at a time; both give test_series' bits, so results depend neither on
//     the thread count nor on the grouping.
//   * A series whose elements are not adjacent (stride other than 8 bytes)
//     is first gathered into the thread's scratch buffer; adjacent ones are
//     read in place.
//   * `poll` runs on the calling thread between its chunks and while it
//     waits for the workers, at least every poll_interval once that much
//     time has passed; returning true cancels the batch (no new chunk starts).
//   * Failures come back sorted by index. With stop_at_first_failure no
//     chunk starting after a known failure is begun (outputs are then
//     partial), but every series before the first failure is computed.
//   * An exception on any thread cancels the batch and is rethrown here
//     after every worker has finished.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "src/statistical_tests/series_checks.hpp"

namespace larkspur::batch {

struct SeriesSpec {
    const unsigned char* data;  // first element
    std::uint64_t length;
    std::ptrdiff_t stride;  // bytes from one element to the next (may be negative)
};

struct BatchOutputs {
    unsigned char* p_tilde;    // count int64, native order
    unsigned char* statistic;  // count float64
    unsigned char* pvalue;     // count float64
};

struct BatchOptions {
    double q;
    std::optional<std::uint64_t> d;
    unsigned threads;  // >= 1; capped by the number of chunks
    bool stop_at_first_failure;
};

struct IndexedFailure {
    std::uint64_t index;
    statistical_tests::SeriesFailure failure;
};

struct BatchOutcome {
    bool cancelled;
    unsigned threads_used;
    std::vector<IndexedFailure> failures;
};

inline constexpr std::chrono::milliseconds poll_interval{50};

[[nodiscard]] BatchOutcome run_batch(std::span<const SeriesSpec> series, const BatchOptions& options,
                                     BatchOutputs outputs, const std::function<bool()>& poll);

}  // namespace larkspur::batch
