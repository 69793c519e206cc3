#include "src/batch/gst_batch_test.hpp"

#include <bit>
#include <limits>
#include <string>

#include "numerics/floating_point_environment.hpp"

namespace larkspur::batch {
namespace {

namespace gst = statistical_tests::generalized_spectral;
using statistical_tests::FailureException;
using statistical_tests::SeriesFailure;

constexpr std::uint64_t nan_bits = std::bit_cast<std::uint64_t>(std::numeric_limits<double>::quiet_NaN());
constexpr std::uint64_t refused_series[] = {nan_bits, nan_bits, 0};
constexpr std::uint64_t refused_replicate[] = {nan_bits};
constexpr char wrong_length[] = "a row of multipliers must have one value per observation of the series";

class ReplicateState final : public TestState {
public:
    explicit ReplicateState(gst::GstWorkspace made) : workspace(std::move(made)) {}
    gst::GstWorkspace workspace;
};

}  // namespace

SeriesFailure gst_failure(const gst::GstError& error) {
    return SeriesFailure(
        error.kind == gst::GstErrorKind::OutOfMemory ? FailureException::MemoryError : FailureException::ValueError,
        error.message());
}

std::span<const std::uint64_t> GstSeriesTest::failure_row() const noexcept { return refused_series; }

std::uint64_t GstSeriesTest::test(std::span<const SeriesSpec> series, std::uint64_t index, std::uint64_t,
                                  Workspace& workspace, OutcomeSink& sink) const {
    const SeriesSpec& spec = series[index];
    const auto* values = static_cast<const double*>(contiguous_values(spec, workspace));
    {
        // The shared checks' scan sums in the fixed environment, as every test's does.
        const numerics::FloatingPointScope environment;
        if (auto checked = statistical_tests::check_series(values, spec.length, nullptr); !checked) {
            sink.failure(index, checked.error());
            return 1;
        }
    }
    const auto prepared = gst::GstPrepared::make(std::span(values, spec.length), options_);
    if (!prepared) {
        sink.failure(index, gst_failure(prepared.error()));
        return 1;
    }
    const gst::GstStatistic& statistic = prepared->statistic();
    const std::uint64_t row[] = {std::bit_cast<std::uint64_t>(statistic.value),
                                 std::bit_cast<std::uint64_t>(statistic.error_bound), statistic.rank};
    sink.success(index, row);
    return 1;
}

std::span<const std::uint64_t> GstReplicateTest::failure_row() const noexcept { return refused_replicate; }

std::uint64_t GstReplicateTest::test(std::span<const SeriesSpec> series, std::uint64_t index, std::uint64_t,
                                     Workspace& workspace, OutcomeSink& sink) const {
    const SeriesSpec& spec = series[index];
    if (spec.length != prepared_.size()) {
        sink.failure(index, SeriesFailure(FailureException::ValueError, wrong_length));
        return 1;
    }
    if (!workspace.state) {
        auto made = prepared_.make_workspace();
        if (!made) {
            sink.failure(index, gst_failure(made.error()));
            return 1;
        }
        workspace.state = std::make_unique<ReplicateState>(*std::move(made));
    }
    auto& state = static_cast<ReplicateState&>(*workspace.state);
    const auto* weights = static_cast<const double*>(contiguous_values(spec, workspace));
    const double value = prepared_.replicate(std::span(weights, spec.length), state.workspace);
    const std::uint64_t row[] = {std::bit_cast<std::uint64_t>(value)};
    sink.success(index, row);
    return 1;
}

}  // namespace larkspur::batch
