// The generalized spectral test as batch records.
//
//   GstSeriesTest      one series each: (T, the truncation bound, the rank
//                      as int64); a refused series (NaN, NaN, 0). The shared
//                      series checks first, then the test's own refusals.
//   GstReplicateTest   one prepared series, each "series" of the batch a row
//                      of bootstrap multipliers V_1..V_n: T* of that row.
//                      Each thread keeps its own workspace (made on its first
//                      row), so replicates share nothing but the prepared
//                      series and their bits do not depend on the thread.
#pragma once

#include <cstdint>

#include "src/batch/series_test.hpp"
#include "src/statistical_tests/generalized_spectral/generalized_spectral.hpp"

namespace larkspur::batch {

[[nodiscard]] statistical_tests::SeriesFailure gst_failure(
    const statistical_tests::generalized_spectral::GstError& error);

class GstSeriesTest final : public SeriesTest {
public:
    explicit GstSeriesTest(const statistical_tests::generalized_spectral::GstOptions& options) noexcept
        : options_(options) {}

    [[nodiscard]] std::span<const std::uint64_t> failure_row() const noexcept override;
    std::uint64_t test(std::span<const SeriesSpec> series, std::uint64_t index, std::uint64_t stop,
                       Workspace& workspace, OutcomeSink& sink) const override;

private:
    statistical_tests::generalized_spectral::GstOptions options_;
};

class GstReplicateTest final : public SeriesTest {
public:
    explicit GstReplicateTest(const statistical_tests::generalized_spectral::GstPrepared& prepared) noexcept
        : prepared_(prepared) {}

    [[nodiscard]] std::span<const std::uint64_t> failure_row() const noexcept override;
    std::uint64_t test(std::span<const SeriesSpec> series, std::uint64_t index, std::uint64_t stop,
                       Workspace& workspace, OutcomeSink& sink) const override;

private:
    const statistical_tests::generalized_spectral::GstPrepared& prepared_;
};

}  // namespace larkspur::batch
