#include "src/statistical_tests/generalized_spectral/lag_forms.hpp"

#include "src/statistical_tests/generalized_spectral/pivoted_cholesky.hpp"
#include "src/statistical_tests/generalized_spectral/real_correlation.hpp"

namespace larkspur::statistical_tests::generalized_spectral {

namespace {

// suffix[j] = sum_{t=j}^{n-1} x_t, summed from the end; suffix[n] = 0.
void suffix_sums(const double* x, std::size_t n, double* suffix) noexcept {
    suffix[n] = 0.0;
    for (std::size_t t = n; t-- > 0;) suffix[t] = x[t] + suffix[t + 1];
}

// The block means c_j = suffix[j] / m_j replace suffix[j] for j >= 1.
void block_means(double* suffix, std::size_t n) noexcept {
    for (std::size_t j = 1; j < n; ++j) suffix[j] = suffix[j] / static_cast<double>(n - j);
}

}  // namespace

LowRankLags make_low_rank_lags(const double* points, std::size_t count, double tolerance) {
    LowRankFactor factor = pivoted_cholesky(points, count, tolerance);
    // x_0 enters no block: the correlations read x_1..x_{n-1} (count values), so
    // the length holds 2 count - 1 terms and the rounding of the transforms is
    // relative to the values actually used.
    LowRankLags lags{FftPlan(FftPlan::good_length(2 * count - 1)), factor.columns.size(), {}, {}, {}};
    const std::size_t length = lags.plan.length();
    const std::size_t pairs = (lags.rank + 1) / 2;
    lags.spectra.resize(pairs * length);
    std::vector<Complex> scratch(length);
    for (std::size_t p = 0; p < pairs; ++p) {
        const double* a = factor.columns[2 * p].get();
        const double* b = 2 * p + 1 < lags.rank ? factor.columns[2 * p + 1].get() : nullptr;
        pair_spectrum(lags.plan, a, b, count, lags.spectra.data() + p * length, scratch.data());
    }
    // Each column becomes its prefix sums in place: no second copy of the factor.
    for (std::unique_ptr<double[]>& column : factor.columns) {
        double sum = 0.0;
        for (std::size_t u = 0; u < count; ++u) column[u] = sum = sum + column[u];
    }
    lags.column_prefix = std::move(factor.columns);
    lags.residual_prefix.resize(count);
    double trace = 0.0;
    for (std::size_t u = 0; u < count; ++u) lags.residual_prefix[u] = trace = trace + factor.residual_diagonal[u];
    return lags;
}

WeightedSum low_rank_weighted_sum(const LowRankLags& lags, const double* x, std::size_t n, bool centre,
                                  const double* weights, const LagBuffers& buffers) noexcept {
    const std::size_t count = n - 1;
    const std::size_t length = lags.plan.length();
    double* q = buffers.lag_sums;
    for (std::size_t j = 1; j < n; ++j) q[j] = 0.0;
    double* means = buffers.suffix;
    suffix_sums(x, n, means);
    block_means(means, n);
    real_spectrum(lags.plan, x + 1, count, buffers.spectrum, buffers.scratch);
    for (std::size_t p = 0; 2 * p < lags.rank; ++p) {
        correlate_pair(lags.plan, buffers.spectrum, lags.spectra.data() + p * length, count, buffers.product,
                       buffers.scratch);
        const Complex* c = buffers.product - 1;  // c[j]: lag j
        const double* prefix_a = lags.column_prefix[2 * p].get();
        if (centre) {
            for (std::size_t j = 1; j < n; ++j) {
                const double value = c[j].re - means[j] * prefix_a[n - j - 1];
                q[j] = q[j] + value * value;
            }
        } else {
            for (std::size_t j = 1; j < n; ++j) q[j] = q[j] + c[j].re * c[j].re;
        }
        if (2 * p + 1 == lags.rank) break;
        const double* prefix_b = lags.column_prefix[2 * p + 1].get();
        if (centre) {
            for (std::size_t j = 1; j < n; ++j) {
                const double value = c[j].im - means[j] * prefix_b[n - j - 1];
                q[j] = q[j] + value * value;
            }
        } else {
            for (std::size_t j = 1; j < n; ++j) q[j] = q[j] + c[j].im * c[j].im;
        }
    }
    double* squares = buffers.squares;
    squares[n] = 0.0;
    for (std::size_t t = n; t-- > 0;) squares[t] = x[t] * x[t] + squares[t + 1];
    WeightedSum total{0.0, 0.0};
    for (std::size_t j = 1; j < n; ++j) {
        total.sum = total.sum + q[j] * weights[j];
        total.bound = total.bound + weights[j] * (squares[j] * lags.residual_prefix[n - j - 1]);
    }
    return total;
}

ExactLags make_exact_lags(const double* points, std::size_t count) {
    ExactLags lags{count, std::vector<double>(count * count)};
    for (std::size_t u = 0; u < count; ++u) {
        for (std::size_t v = 0; v < count; ++v) lags.kernel[u * count + v] = gaussian_kernel(points[u], points[v]);
    }
    return lags;
}

WeightedSum exact_weighted_sum(const ExactLags& lags, const double* x, std::size_t n, bool centre,
                               const double* weights, const LagBuffers& buffers) noexcept {
    const std::size_t count = lags.points;
    double* means = buffers.suffix;
    suffix_sums(x, n, means);
    block_means(means, n);
    double* a = buffers.lag_sums;
    double total = 0.0;
    for (std::size_t j = 1; j < n; ++j) {
        const std::size_t m = n - j;
        const double c = centre ? means[j] : 0.0;
        for (std::size_t u = 0; u < m; ++u) a[u] = x[u + j] - c;
        double form = 0.0;
        for (std::size_t u = 0; u < m; ++u) {
            const double* row = lags.kernel.data() + u * count;
            double inner = 0.0;
            for (std::size_t v = 0; v < u; ++v) inner = inner + row[v] * a[v];
            form = form + a[u] * (a[u] + 2.0 * inner);
        }
        total = total + form * weights[j];
    }
    return {total, 0.0};
}

}  // namespace larkspur::statistical_tests::generalized_spectral
