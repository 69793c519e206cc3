// ElBatchTest: the Escanciano-Lobato test as a batch record. Each series
// yields (p_tilde as int64, statistic, pvalue); a refused one (0, NaN, NaN).
// Runs of at least three series of one length go side by side through
// group_fast_lanes, the others (and every lane it leaves) through
// test_series alone; both give test_series' bits.
#pragma once

#include <cstdint>
#include <optional>

#include "src/batch/series_test.hpp"

namespace larkspur::batch {

class ElBatchTest final : public SeriesTest {
public:
    ElBatchTest(double q, std::optional<std::uint64_t> d) noexcept : q_(q), d_(d) {}

    [[nodiscard]] std::span<const std::uint64_t> failure_row() const noexcept override;
    [[nodiscard]] std::uint64_t group_width() const noexcept override;
    std::uint64_t test(std::span<const SeriesSpec> series, std::uint64_t index, std::uint64_t stop,
                       Workspace& workspace, OutcomeSink& sink) const override;

private:
    double q_;
    std::optional<std::uint64_t> d_;
};

}  // namespace larkspur::batch
