#include "src/batch/batch_runner.hpp"

#include "base/forced_unwind.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>

namespace larkspur::batch {

const void* contiguous_values(const SeriesSpec& spec, Workspace& workspace) {
    const bool aligned = reinterpret_cast<std::uintptr_t>(spec.data) % alignof(double) == 0;
    if (spec.length == 0 ||
        (aligned && (spec.length == 1 || spec.stride == static_cast<std::ptrdiff_t>(sizeof(double))))) {
        return spec.data;
    }
    workspace.gathered.resize(spec.length);
    const unsigned char* element = spec.data;
    for (std::uint64_t k = 0; k < spec.length; ++k, element += spec.stride) {
        std::memcpy(&workspace.gathered[k], element, sizeof(double));
    }
    return workspace.gathered.data();
}

namespace {

using statistical_tests::SeriesFailure;

// Values per chunk: large enough that claiming a chunk costs nothing next to
// it, small enough (well under a millisecond at typical lags) that a cancel
// or an interrupt is seen promptly and the last chunks balance the threads.
constexpr std::uint64_t chunk_values = std::uint64_t{1} << 15;
constexpr std::uint64_t no_failure = std::numeric_limits<std::uint64_t>::max();

std::uint64_t chunk_size(std::span<const SeriesSpec> series, unsigned threads, std::uint64_t group) noexcept {
    std::uint64_t total = 0;
    for (const SeriesSpec& spec : series) total += std::max<std::uint64_t>(spec.length, 1);
    const std::uint64_t count = series.size();
    const std::uint64_t mean_length = std::max<std::uint64_t>(total / std::max<std::uint64_t>(count, 1), 1);
    // At least four chunks per thread when there is enough work, so that an
    // uneven split still keeps every thread busy to the end.
    const std::uint64_t balanced = std::max<std::uint64_t>(count / (std::uint64_t{threads} * 4), 1);
    const std::uint64_t size = std::clamp<std::uint64_t>(chunk_values / mean_length, 1, balanced);
    // Whole groups of series side by side: they take about a third to a
    // half of the time of the same series one by one, which is worth more
    // than four chunks per thread, as long as a group is short enough to
    // keep the polls prompt.
    if (group <= 1) return size;
    if (size >= group) return size / group * group;
    return mean_length * group <= 4 * chunk_values ? group : size;
}

class Batch {
public:
    Batch(const SeriesTest& test, std::span<const SeriesSpec> series, const BatchOptions& options,
          BatchOutputs outputs) noexcept
        : test_(test),
          series_(series),
          options_(options),
          outputs_(outputs),
          chunk_(chunk_size(series, options.threads, test.group_width())) {}

    [[nodiscard]] std::uint64_t chunk() const noexcept { return chunk_; }

    // Claims and computes chunks until none is left or the batch is
    // cancelled; `between_chunks` runs after each chunk.
    template <class Between>
    void work(std::vector<IndexedFailure>& failures, Between&& between_chunks) {
        Workspace workspace;
        Sink sink(*this, failures);
        while (!cancelled_.load(std::memory_order_relaxed)) {
            const std::uint64_t start = next_.fetch_add(chunk_, std::memory_order_relaxed);
            if (start >= series_.size()) break;
            if (options_.stop_at_first_failure && start > first_failure_.load(std::memory_order_relaxed)) break;
            const std::uint64_t stop = std::min<std::uint64_t>(series_.size(), start + chunk_);
            for (std::uint64_t i = start; i < stop;) i += test_.test(series_, i, stop, workspace, sink);
            between_chunks();
        }
    }

    void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
    [[nodiscard]] bool cancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }

private:
    class Sink final : public OutcomeSink {
    public:
        Sink(Batch& batch, std::vector<IndexedFailure>& failures) noexcept : batch_(batch), failures_(failures) {}
        void success(std::uint64_t index, std::span<const std::uint64_t> row) override { batch_.store(index, row); }
        void failure(std::uint64_t index, SeriesFailure failure) override {
            batch_.store(index, batch_.test_.failure_row());
            failures_.push_back(IndexedFailure{index, std::move(failure)});
            std::uint64_t known = batch_.first_failure_.load(std::memory_order_relaxed);
            while (index < known &&
                   !batch_.first_failure_.compare_exchange_weak(known, index, std::memory_order_relaxed)) {}
        }

    private:
        Batch& batch_;
        std::vector<IndexedFailure>& failures_;
    };

    void store(std::uint64_t index, std::span<const std::uint64_t> row) noexcept {
        for (std::size_t k = 0; k < row.size() && k < outputs_.size(); ++k) {
            std::memcpy(outputs_[k] + index * 8, &row[k], 8);
        }
    }

    const SeriesTest& test_;
    std::span<const SeriesSpec> series_;
    BatchOptions options_;
    BatchOutputs outputs_;
    std::uint64_t chunk_;
    std::atomic<std::uint64_t> next_{0};
    std::atomic<std::uint64_t> first_failure_{no_failure};
    std::atomic<bool> cancelled_{false};
};

// The first exception of any thread, kept for the calling thread.
class FirstException {
public:
    void record(std::exception_ptr exception) noexcept {
        const std::lock_guard guard(lock_);
        if (!first_) first_ = std::move(exception);
    }
    void rethrow_if_any() {
        const std::lock_guard guard(lock_);
        if (first_) std::rethrow_exception(first_);
    }

private:
    std::mutex lock_;
    std::exception_ptr first_;
};

// Cancels the batch and joins every worker when the calling thread leaves
// run_batch, whatever the way out: the workers use its stack, and a
// std::thread destroyed unjoined ends the process. The one exceptional way
// out is a forced unwind of the calling thread (the interpreter ending a
// daemon thread that waited for the lock in `poll`).
class JoinWorkers {
public:
    JoinWorkers(Batch& batch, std::vector<std::thread>& workers) noexcept : batch_(batch), workers_(workers) {}
    ~JoinWorkers() {
        if (std::any_of(workers_.begin(), workers_.end(), [](const std::thread& t) { return t.joinable(); })) {
            batch_.cancel();
        }
        for (std::thread& worker : workers_) {
            if (worker.joinable()) worker.join();
        }
    }
    JoinWorkers(const JoinWorkers&) = delete;
    JoinWorkers& operator=(const JoinWorkers&) = delete;

private:
    Batch& batch_;
    std::vector<std::thread>& workers_;
};

}  // namespace

LARKSPUR_FORCED_UNWIND_HANDLER BatchOutcome run_batch(const SeriesTest& test, std::span<const SeriesSpec> series,
                                                      const BatchOptions& options, BatchOutputs outputs,
                                                      const std::function<bool()>& poll) {
    Batch batch(test, series, options, outputs);
    FirstException exception;
    const std::uint64_t chunk = batch.chunk();
    const std::uint64_t chunks = (series.size() + chunk - 1) / chunk;
    const auto wanted = static_cast<unsigned>(std::min<std::uint64_t>(std::max(options.threads, 1U), chunks));

    // Per-thread failure lists, merged at the end: no sharing while computing.
    std::vector<std::vector<IndexedFailure>> failures(std::max(wanted, 1U));
    std::atomic<unsigned> running{0};

    auto last_poll = std::chrono::steady_clock::now();
    auto poll_if_due = [&] {
        const auto now = std::chrono::steady_clock::now();
        if (now - last_poll < poll_interval) return;
        last_poll = now;
        if (poll()) batch.cancel();
    };

    std::vector<std::thread> workers;
    const JoinWorkers join_workers(batch, workers);
    if (wanted > 1) workers.reserve(wanted - 1);
    for (unsigned t = 1; t < wanted; ++t) {
        running.fetch_add(1, std::memory_order_relaxed);
        try {
            workers.emplace_back([&, t] {
                try {
                    batch.work(failures[t], [] {});
                } catch (...) {
                    exception.record(std::current_exception());
                    batch.cancel();
                }
                running.fetch_sub(1, std::memory_order_release);
            });
        } catch (const std::system_error&) {
            // No more threads to be had: the ones running share the work.
            running.fetch_sub(1, std::memory_order_relaxed);
            break;
        }
    }

    try {
        batch.work(failures[0], poll_if_due);
    }
    LARKSPUR_RETHROW_FORCED_UNWIND
    catch (...) {
        exception.record(std::current_exception());
        batch.cancel();
    }
    // The workers end within about a chunk of the calling thread; short
    // sleeps (no timed condition wait, whose clock-selecting glibc entry
    // point is newer than the oldest glibc the wheel supports) with the
    // poll kept going.
    while (running.load(std::memory_order_acquire) != 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        try {
            poll_if_due();
        }
        LARKSPUR_RETHROW_FORCED_UNWIND
        catch (...) {
            exception.record(std::current_exception());
            batch.cancel();
        }
    }
    const auto threads_used = static_cast<unsigned>(workers.size() + 1);
    for (std::thread& worker : workers) worker.join();
    exception.rethrow_if_any();

    BatchOutcome outcome{batch.cancelled(), threads_used, {}};
    for (auto& part : failures) outcome.failures.insert(outcome.failures.end(), part.begin(), part.end());
    std::sort(outcome.failures.begin(), outcome.failures.end(),
              [](const IndexedFailure& a, const IndexedFailure& b) { return a.index < b.index; });
    return outcome;
}

}  // namespace larkspur::batch
