#include "src/statistical_tests/generalized_spectral/generalized_spectral.hpp"

#include <cmath>
#include <new>
#include <optional>

#include "base/internal_fault.hpp"
#include "numerics/floating_point_environment.hpp"
#include "src/statistical_tests/generalized_spectral/lag_forms.hpp"

namespace larkspur::statistical_tests::generalized_spectral {

std::string GstError::message() const {
    switch (kind) {
        case GstErrorKind::TooShort:
            return "the generalized spectral test needs at least two values";
        case GstErrorKind::NotFinite:
            return "the series has values that are not finite, or whose sum of squares exceeds the largest double";
        case GstErrorKind::Constant:
            return "the series is constant: the generalized spectral test is not defined";
        case GstErrorKind::LaggedValuesEqual:
            return "the lagged values are all equal after standardising: the generalized spectral test is not "
                   "defined";
        case GstErrorKind::OutOfMemory:
            return "not enough memory for the generalized spectral test";
    }
    return "unknown generalized spectral test error";
}

struct GstData {
    std::size_t n = 0;
    GstForm form = GstForm::Standardised;
    double divisor = 0.0;         // s^2 or v
    std::vector<double> centred;  // y_t - ybar (after the power-of-two scaling, standardised form)
    std::vector<double> weights;  // w_j at index j (index 0 unused)
    std::optional<LowRankLags> low_rank;
    ExactLags exact;
    GstStatistic statistic{};

    [[nodiscard]] bool centre_blocks() const noexcept { return form == GstForm::Standardised; }

    [[nodiscard]] LagBuffers buffers(GstWorkspace& w) const noexcept {
        return {w.spectrum_.data(), w.product_.data(), w.scratch_.data(),
                w.suffix_.data(),   w.squares_.data(), w.lag_sums_.data()};
    }

    // (1 / S) sum_j w_j Q_j for the values x, and its truncation bound. The
    // bound's own rounding (relative, below (n + r) 2^-53) is covered by 1 + 2^-32.
    [[nodiscard]] WeightedSum evaluate(const double* x, GstWorkspace& w) const noexcept {
        const WeightedSum sum =
            low_rank ? low_rank_weighted_sum(*low_rank, x, n, centre_blocks(), weights.data(), buffers(w))
                     : exact_weighted_sum(exact, x, n, centre_blocks(), weights.data(), buffers(w));
        return {sum.sum / divisor, sum.bound / divisor * (1.0 + 0x1p-32)};
    }

    void size_workspace(GstWorkspace& w) const {
        const std::size_t length = low_rank ? low_rank->plan.length() : 0;
        w.owner_ = this;
        w.spectrum_.assign(length, Complex{0.0, 0.0});
        w.product_.assign(length, Complex{0.0, 0.0});
        w.scratch_.assign(length, Complex{0.0, 0.0});
        w.values_.assign(n, 0.0);
        w.suffix_.assign(n + 1, 0.0);
        w.squares_.assign(n + 1, 0.0);
        w.lag_sums_.assign(n, 0.0);
    }
};

namespace {

// 2^k (exact) such that the largest magnitude times it lies in [1, 2); 1 for
// an all-zero series. frexp and ldexp are exact by definition.
double unit_scale(std::span<const double> y) noexcept {
    double largest = 0.0;
    for (const double v : y) largest = std::fabs(v) > largest ? std::fabs(v) : largest;
    if (largest == 0.0) return 1.0;
    int exponent = 0;
    static_cast<void>(std::frexp(largest, &exponent));  // largest = f 2^exponent, f in [1/2, 1)
    return std::ldexp(1.0, 1 - exponent);  // 2^(1 - exponent): overflows to inf only below 2^-1023, handled below
}

std::expected<std::shared_ptr<GstData>, GstError> prepare(std::span<const double> series, const GstOptions& options) {
    const std::size_t n = series.size();
    if (n < 2) return std::unexpected(GstError{GstErrorKind::TooShort});
    for (const double v : series) {
        if (!std::isfinite(v)) return std::unexpected(GstError{GstErrorKind::NotFinite});
    }
    auto data = std::make_shared<GstData>();
    data->n = n;
    data->form = options.form;
    std::vector<double>& e = data->centred;
    e.assign(series.begin(), series.end());
    if (options.form == GstForm::Standardised) {
        // Subnormal maxima need two steps: 2^(1 - exponent) alone may exceed the largest double.
        double scale = unit_scale(e);
        if (!std::isfinite(scale)) {
            for (double& v : e) v = v * 0x1p600;
            scale = unit_scale(e);
        }
        for (double& v : e) v = v * scale;
    }
    double sum = 0.0;
    for (const double v : e) sum = sum + v;
    const double mean = sum / static_cast<double>(n);
    double squares = 0.0;
    for (double& v : e) {
        v = v - mean;
        squares = squares + v * v;
    }
    if (!std::isfinite(mean) || !std::isfinite(squares)) return std::unexpected(GstError{GstErrorKind::NotFinite});
    if (squares == 0.0) return std::unexpected(GstError{GstErrorKind::Constant});
    const bool standardised = options.form == GstForm::Standardised;
    data->divisor = squares / static_cast<double>(standardised ? n : n - 1);

    const std::size_t count = n - 1;
    std::vector<double> points(count);
    if (standardised) {
        const double s = std::sqrt(data->divisor);
        for (std::size_t u = 0; u < count; ++u) points[u] = e[u] / s;
    } else {
        for (std::size_t u = 0; u < count; ++u) points[u] = series[u];
    }
    bool all_equal = true;
    for (std::size_t u = 1; u < count && all_equal; ++u) all_equal = points[u] == points[0];
    if (count >= 2 && all_equal) return std::unexpected(GstError{GstErrorKind::LaggedValuesEqual});

    data->weights.assign(n, 0.0);
    constexpr double pi = 0x1.921fb54442d18p+1;
    for (std::size_t j = 1; j < n; ++j) {
        const double jpi = static_cast<double>(j) * pi;
        const auto block = static_cast<double>(standardised ? n - j : n - j + 1);
        data->weights[j] = 1.0 / (block * (jpi * jpi));
    }

    const bool exact =
        options.method == GstMethod::Exact || (options.method == GstMethod::Automatic && n <= exact_path_up_to);
    if (exact) {
        data->exact = make_exact_lags(points.data(), count);
    } else {
        data->low_rank.emplace(make_low_rank_lags(points.data(), count, options.tolerance, options.spectra_budget));
    }
    points = {};

    GstWorkspace workspace;
    data->size_workspace(workspace);
    const WeightedSum t = data->evaluate(data->centred.data(), workspace);
    data->statistic = {t.sum, t.bound, data->low_rank ? data->low_rank->rank : 0,
                       exact ? GstMethod::Exact : GstMethod::LowRank};
    return data;
}

}  // namespace

std::expected<GstPrepared, GstError> GstPrepared::make(std::span<const double> series, const GstOptions& options) {
    numerics::FloatingPointScope scope;
    if (!(options.tolerance >= 0.0)) throw InternalFault("GstPrepared::make: the tolerance must be at least 0");
    try {
        auto data = prepare(series, options);
        if (!data) return std::unexpected(data.error());
        return GstPrepared(std::shared_ptr<const GstData>(std::move(*data)));
    } catch (const std::bad_alloc&) {
        return std::unexpected(GstError{GstErrorKind::OutOfMemory});
    }
}

const GstStatistic& GstPrepared::statistic() const noexcept { return data_->statistic; }
std::size_t GstPrepared::size() const noexcept { return data_->n; }
GstForm GstPrepared::form() const noexcept { return data_->form; }

std::size_t GstPrepared::memory_bytes() const noexcept {
    const GstData& d = *data_;
    std::size_t bytes = sizeof(GstData) + (d.centred.capacity() + d.weights.capacity()) * sizeof(double) +
                        d.exact.kernel.capacity() * sizeof(double);
    if (d.low_rank) {
        const LowRankLags& l = *d.low_rank;
        bytes += l.spectra.capacity() * sizeof(Complex) + l.plan.length() * sizeof(Complex) +
                 (l.rank * (d.n - 1) + l.residual_prefix.capacity()) * sizeof(double);
    }
    return bytes;
}

std::expected<GstWorkspace, GstError> GstPrepared::make_workspace() const {
    try {
        GstWorkspace workspace;
        data_->size_workspace(workspace);
        return workspace;
    } catch (const std::bad_alloc&) {
        return std::unexpected(GstError{GstErrorKind::OutOfMemory});
    }
}

double GstPrepared::replicate(std::span<const double> weights, GstWorkspace& workspace) const {
    const GstData& d = *data_;
    if (workspace.owner_ != &d) throw InternalFault("GstPrepared::replicate: the workspace belongs to another series");
    if (weights.size() != d.n) throw InternalFault("GstPrepared::replicate: one weight per value is needed");
    numerics::FloatingPointScope scope;
    double* x = workspace.values_.data();
    for (std::size_t t = 0; t < d.n; ++t) x[t] = d.centred[t] * weights[t];
    if (d.form == GstForm::Vrtest) {
        double sum = 0.0;
        for (std::size_t t = 0; t < d.n; ++t) sum = sum + x[t];
        const double mean = sum / static_cast<double>(d.n);
        for (std::size_t t = 0; t < d.n; ++t) x[t] = x[t] - mean;
    }
    const WeightedSum t = d.evaluate(x, workspace);
    workspace.last_error_bound_ = t.bound;
    return t.sum;
}

}  // namespace larkspur::statistical_tests::generalized_spectral
