// run_batch: a test (a SeriesTest record) on every series of a batch, on
// the calling thread plus up to threads - 1 worker threads. No interpreter
// is touched here; the caller releases its lock around the call.
//
// Contract:
//   * Series are claimed in chunks of consecutive indices (a few tens of
//     thousands of values each, whole groups of group_width where they fit)
//     from one shared counter; the test computes each chunk's series in
//     order and may take runs of them side by side. Results depend neither
//     on the thread count nor on the chunking.
//   * Each series' row of words goes to `outputs` (one column of count
//     8-byte words per word of the row); a refused series gets the test's
//     failure row.
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

#include "src/batch/series_test.hpp"

namespace larkspur::batch {

// One pointer per word of the test's row, each to count 8-byte slots.
using BatchOutputs = std::span<unsigned char* const>;

struct BatchOptions {
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

[[nodiscard]] BatchOutcome run_batch(const SeriesTest& test, std::span<const SeriesSpec> series,
                                     const BatchOptions& options, BatchOutputs outputs,
                                     const std::function<bool()>& poll);

}  // namespace larkspur::batch
