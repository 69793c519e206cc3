#include "src/batch/el_batch_test.hpp"

#include <bit>
#include <limits>

#include "src/statistical_tests/derived_lag.hpp"
#include "src/statistical_tests/el_series.hpp"
#include "src/statistical_tests/series_group.hpp"

namespace larkspur::batch {
namespace {

using statistical_tests::ElResult;

// Fewer series of one length than this run one at a time: a group costs
// about as much whatever number of its lanes are used.
constexpr std::size_t min_group = 3;

constexpr std::uint64_t nan_bits = std::bit_cast<std::uint64_t>(std::numeric_limits<double>::quiet_NaN());
constexpr std::uint64_t refused_row[] = {0, nan_bits, nan_bits};

void report(OutcomeSink& sink, std::uint64_t index, const ElResult& result) {
    const std::uint64_t row[] = {result.p_tilde, std::bit_cast<std::uint64_t>(result.statistic),
                                 std::bit_cast<std::uint64_t>(result.pvalue)};
    sink.success(index, row);
}

}  // namespace

std::span<const std::uint64_t> ElBatchTest::failure_row() const noexcept { return refused_row; }

std::uint64_t ElBatchTest::group_width() const noexcept { return statistical_tests::group_width; }

std::uint64_t ElBatchTest::test(std::span<const SeriesSpec> series, std::uint64_t index, std::uint64_t stop,
                                Workspace& workspace, OutcomeSink& sink) const {
    const std::uint64_t length = series[index].length;
    std::size_t count = 1;
    while (count < statistical_tests::group_width && index + count < stop && series[index + count].length == length) {
        ++count;
    }
    unsigned taken = 0;
    ElResult results[statistical_tests::group_width];
    if (count >= min_group && (d_ || length >= 2)) {
        statistical_tests::GroupSeries group[statistical_tests::group_width];
        for (std::size_t s = 0; s < count; ++s) group[s] = {series[index + s].data, series[index + s].stride};
        taken = statistical_tests::group_fast_lanes(std::span(group, count), length, q_,
                                                    d_ ? *d_ : statistical_tests::derived_lag(length), results);
    }
    for (std::size_t s = 0; s < count; ++s) {
        if ((taken >> s & 1U) != 0) {
            report(sink, index + s, results[s]);
            continue;
        }
        const SeriesSpec& spec = series[index + s];
        const auto outcome = statistical_tests::test_series(contiguous_values(spec, workspace), spec.length, q_, d_);
        if (outcome) {
            report(sink, index + s, *outcome);
        } else {
            sink.failure(index + s, outcome.error());
        }
    }
    return count;
}

}  // namespace larkspur::batch
