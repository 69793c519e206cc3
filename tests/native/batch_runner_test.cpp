#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "bit_equality.hpp"
#include "src/batch/batch_runner.hpp"
#include "src/batch/el_batch_test.hpp"
#include "src/statistical_tests/el_series.hpp"

namespace {

using larkspur::batch::BatchOptions;
using larkspur::batch::ElBatchTest;
using larkspur::batch::run_batch;
using larkspur::batch::SeriesSpec;
using larkspur::statistical_tests::test_series;
using larkspur::testing::same_bits;

struct Columns {
    explicit Columns(std::size_t count) : p_tilde(count), statistic(count), pvalue(count) {}
    std::span<unsigned char* const> outputs() {
        pointers = {reinterpret_cast<unsigned char*>(p_tilde.data()),
                    reinterpret_cast<unsigned char*>(statistic.data()),
                    reinterpret_cast<unsigned char*>(pvalue.data())};
        return pointers;
    }
    std::array<unsigned char*, 3> pointers{};
    std::vector<std::int64_t> p_tilde;
    std::vector<double> statistic;
    std::vector<double> pvalue;
};

// A panel stored row-major (rows = time), read as columns (stride = row
// width), as reversed rows, and as zero-stride repeats; some series fail.
struct Panel {
    static constexpr std::uint64_t rows = 120;
    static constexpr std::uint64_t width = 37;
    std::vector<double> values = std::vector<double>(rows * width);
    std::vector<SeriesSpec> series;

    Panel() {
        std::mt19937_64 engine(3);
        std::normal_distribution<double> normal;
        for (double& v : values) v = normal(engine);
        for (std::uint64_t r = 0; r < rows; ++r) values[r * width + 5] = 0.0;  // zero tau
        values[7 * width + 9] = std::numeric_limits<double>::quiet_NaN();
        const auto* base = reinterpret_cast<const unsigned char*>(values.data());
        const auto row_bytes = static_cast<std::ptrdiff_t>(width * sizeof(double));
        for (std::uint64_t c = 0; c < width; ++c) {
            series.push_back({base + c * sizeof(double), rows - c, row_bytes});  // a column
            series.push_back({base + (rows - 1) * width * sizeof(double) + c * sizeof(double), rows, -row_bytes});
            series.push_back({base + c * width * sizeof(double), width - c % 3, sizeof(double)});  // in place
            series.push_back({base + c * sizeof(double), c % 4, 0});  // one value repeated; short ones fail
        }
    }

    // The series gathered into a plain vector, as the class would read it.
    [[nodiscard]] std::vector<double> gathered(const SeriesSpec& spec) const {
        std::vector<double> out(spec.length);
        for (std::uint64_t k = 0; k < spec.length; ++k) {
            std::memcpy(&out[k], spec.data + static_cast<std::ptrdiff_t>(k) * spec.stride, sizeof(double));
        }
        return out;
    }
};

TEST(BatchRunner, EveryThreadCountGivesTheBitsAndFailuresOfOneCallPerSeries) {
    const Panel panel;
    for (const std::optional<std::uint64_t> d : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{6}}) {
        for (unsigned threads : {1U, 2U, 4U}) {
            Columns columns(panel.series.size());
            const auto outcome = run_batch(ElBatchTest(2.4, d), panel.series, BatchOptions{threads, false},
                                           columns.outputs(), [] { return false; });
            EXPECT_FALSE(outcome.cancelled);
            std::size_t next_failure = 0;
            for (std::size_t i = 0; i < panel.series.size(); ++i) {
                const std::vector<double> values = panel.gathered(panel.series[i]);
                const auto expected = test_series(values.data(), values.size(), 2.4, d);
                if (expected) {
                    EXPECT_EQ(columns.p_tilde[i], static_cast<std::int64_t>(expected->p_tilde)) << i;
                    EXPECT_TRUE(same_bits(columns.statistic[i], expected->statistic)) << i;
                    EXPECT_TRUE(same_bits(columns.pvalue[i], expected->pvalue)) << i;
                    continue;
                }
                ASSERT_LT(next_failure, outcome.failures.size());
                EXPECT_EQ(outcome.failures[next_failure].index, i);
                EXPECT_TRUE(outcome.failures[next_failure].failure == expected.error()) << i;
                EXPECT_EQ(columns.p_tilde[i], 0);
                EXPECT_TRUE(std::isnan(columns.pvalue[i]));
                ++next_failure;
            }
            EXPECT_EQ(next_failure, outcome.failures.size());
            EXPECT_GT(next_failure, 10U);
        }
    }
}

// A record of another shape through the same runner: one word per series
// (the last value's bits), refused when the series is shorter than three.
class LastValue final : public larkspur::batch::SeriesTest {
public:
    [[nodiscard]] std::span<const std::uint64_t> failure_row() const noexcept override { return refused; }
    std::uint64_t test(std::span<const SeriesSpec> series, std::uint64_t index, std::uint64_t,
                       larkspur::batch::Workspace& workspace, larkspur::batch::OutcomeSink& sink) const override {
        const SeriesSpec& spec = series[index];
        if (spec.length < 3) {
            sink.failure(index, larkspur::statistical_tests::SeriesFailure(
                                    larkspur::statistical_tests::FailureException::OSError, "short"));
            return 1;
        }
        const auto* values = static_cast<const double*>(larkspur::batch::contiguous_values(spec, workspace));
        const std::uint64_t row[] = {std::bit_cast<std::uint64_t>(values[spec.length - 1])};
        sink.success(index, row);
        return 1;
    }

private:
    static constexpr std::uint64_t refused[] = {7};
};

TEST(BatchRunner, AnyRecordRunsThroughTheSameRunner) {
    const Panel panel;
    for (unsigned threads : {1U, 3U}) {
        std::vector<double> last(panel.series.size());
        unsigned char* column = reinterpret_cast<unsigned char*>(last.data());
        const auto outcome = run_batch(LastValue{}, panel.series, BatchOptions{threads, false},
                                       std::span<unsigned char* const>(&column, 1), [] { return false; });
        std::size_t failures = 0;
        for (std::size_t i = 0; i < panel.series.size(); ++i) {
            const std::vector<double> values = panel.gathered(panel.series[i]);
            if (values.size() < 3) {
                EXPECT_EQ(std::bit_cast<std::uint64_t>(last[i]), 7U);
                EXPECT_EQ(outcome.failures.at(failures++).index, i);
            } else {
                EXPECT_TRUE(same_bits(last[i], values.back())) << i;
            }
        }
        EXPECT_EQ(failures, outcome.failures.size());
    }
}

TEST(BatchRunner, StoppingAtTheFirstFailureStillFindsIt) {
    const Panel panel;
    Columns columns(panel.series.size());
    const auto all =
        run_batch(ElBatchTest(2.4, {}), panel.series, BatchOptions{1, false}, columns.outputs(), [] { return false; });
    for (unsigned threads : {1U, 2U, 4U}) {
        const auto first = run_batch(ElBatchTest(2.4, {}), panel.series, BatchOptions{threads, true}, columns.outputs(),
                                     [] { return false; });
        ASSERT_FALSE(first.failures.empty());
        EXPECT_EQ(first.failures.front().index, all.failures.front().index);
        EXPECT_LE(first.failures.size(), all.failures.size());
    }
}

TEST(BatchRunner, APollThatAsksToStopCancelsALongBatch) {
    std::vector<double> series(2000);
    std::mt19937_64 engine(4);
    std::normal_distribution<double> normal;
    for (double& v : series) v = normal(engine);
    // Zero-stride repeats of one series: far more work than the test waits for.
    const std::vector<SeriesSpec> specs(
        2'000'000, SeriesSpec{reinterpret_cast<const unsigned char*>(series.data()), series.size(), sizeof(double)});
    Columns columns(specs.size());
    std::atomic<int> polls{0};
    const auto outcome = run_batch(ElBatchTest(2.4, {}), specs, BatchOptions{2, false}, columns.outputs(),
                                   [&] { return polls.fetch_add(1) >= 1; });
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_EQ(polls.load(), 2);
}

TEST(BatchRunner, AnExceptionInThePollReachesTheCaller) {
    std::vector<double> series(2000, 1.0);
    series[0] = 2.0;
    const std::vector<SeriesSpec> specs(
        2'000'000, SeriesSpec{reinterpret_cast<const unsigned char*>(series.data()), series.size(), sizeof(double)});
    Columns columns(specs.size());
    EXPECT_THROW((void)run_batch(ElBatchTest(2.4, {}), specs, BatchOptions{2, false}, columns.outputs(),
                                 []() -> bool { throw std::runtime_error("poll failed"); }),
                 std::runtime_error);
}

}  // namespace
