// SeriesTest: what the batch runner knows of a test. A test is one record;
// the runner (threads, chunks, cancellation, polling, failure masks) is
// written once and reads only this interface.
//
// Contract:
//   * A test yields a fixed number of 8-byte words per series (its output
//     columns: an int64 or the bits of a float64 each), and a fixed row of
//     words for a series it refuses (failure_row; same length).
//   * test() runs on any worker thread, concurrently with itself on other
//     series: it must not change the record. It tests series[index] and may
//     take following series below `stop` with it (side by side); it reports
//     every series it covered through the sink, exactly once, and returns
//     how many that was (at least one).
//   * Whatever a test computes for a series must not depend on which thread
//     ran it, on the chunking or on the grouping: the batch's bits are the
//     one-series bits.
//   * Thread-local working memory lives in the Workspace the runner gives
//     each thread; `state` is the test's own, made on first use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "src/statistical_tests/series_checks.hpp"

namespace larkspur::batch {

struct SeriesSpec {
    const unsigned char* data;  // first element
    std::uint64_t length;
    std::ptrdiff_t stride;  // bytes from one element to the next (may be negative)
};

// Where one series' outcome goes (the runner's, per thread).
class OutcomeSink {
public:
    virtual void success(std::uint64_t index, std::span<const std::uint64_t> row) = 0;
    virtual void failure(std::uint64_t index, statistical_tests::SeriesFailure failure) = 0;

protected:
    ~OutcomeSink() = default;
};

class TestState {
public:
    virtual ~TestState() = default;
};

struct Workspace {
    std::vector<double> gathered;      // a strided series made contiguous
    std::unique_ptr<TestState> state;  // the test's own, made on first use
};

class SeriesTest {
public:
    virtual ~SeriesTest() = default;
    [[nodiscard]] virtual std::span<const std::uint64_t> failure_row() const noexcept = 0;
    // Series the test takes side by side at best: chunks hold whole runs of it.
    [[nodiscard]] virtual std::uint64_t group_width() const noexcept { return 1; }
    virtual std::uint64_t test(std::span<const SeriesSpec> series, std::uint64_t index, std::uint64_t stop,
                               Workspace& workspace, OutcomeSink& sink) const = 0;
};

// The series' values contiguous and aligned for double: in place when its
// elements are adjacent and aligned, otherwise gathered into the workspace
// (valid until its next use).
[[nodiscard]] const void* contiguous_values(const SeriesSpec& spec, Workspace& workspace);

}  // namespace larkspur::batch
