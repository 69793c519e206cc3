#include "src/statistical_tests/generalized_spectral/lag_forms.hpp"

#include <algorithm>

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

// q[j] += v_j^2 at every lag j for one column, v_j the part (re or im) of c[j]
// less, when centring, means[j] times the column's sum over the block,
// sum_{u<m_j} L_u: read from the stored prefix sums, or else summed here in
// the order the prefix sums are made (u ascending, so j descending; each q[j]
// takes one term, so the order over j changes no bit).
template <double Complex::* part>
void add_squares(const Complex* c, const double* column, bool prefix_stored, bool centre, const double* means,
                 std::size_t n, double* q) noexcept {
    if (!centre) {
        for (std::size_t j = 1; j < n; ++j) q[j] = q[j] + c[j].*part * (c[j].*part);
    } else if (prefix_stored) {
        for (std::size_t j = 1; j < n; ++j) {
            const double value = c[j].*part - means[j] * column[n - j - 1];
            q[j] = q[j] + value * value;
        }
    } else {
        double sum = 0.0;
        for (std::size_t u = 0; u + 1 < n; ++u) {
            sum = sum + column[u];
            const std::size_t j = n - 1 - u;
            const double value = c[j].*part - means[j] * sum;
            q[j] = q[j] + value * value;
        }
    }
}

}  // namespace

LowRankLags make_low_rank_lags(const double* points, std::size_t count, double tolerance, std::size_t spectra_budget) {
    LowRankFactor factor = pivoted_cholesky(points, count, tolerance);
    // x_0 enters no block: the correlations read x_1..x_{n-1} (count values), so
    // the length holds 2 count - 1 terms and the rounding of the transforms is
    // relative to the values actually used.
    LowRankLags lags{FftPlan(FftPlan::good_length(2 * count - 1)), factor.columns.size(), 0, {}, {}, {}};
    const std::size_t length = lags.plan.length();
    const std::size_t pairs = (lags.rank + 1) / 2;
    lags.stored_pairs = std::min(pairs, spectra_budget / (length * sizeof(Complex)));
    lags.spectra.resize(lags.stored_pairs * length);
    std::vector<Complex> scratch(length);
    for (std::size_t p = 0; p < lags.stored_pairs; ++p) {
        const double* a = factor.columns[2 * p].get();
        const double* b = 2 * p + 1 < lags.rank ? factor.columns[2 * p + 1].get() : nullptr;
        pair_spectrum(lags.plan, a, b, count, lags.spectra.data() + p * length, scratch.data());
    }
    // The stored pairs' columns become their prefix sums in place: no second
    // copy of the factor. The others stay as they are, for their transforms.
    const std::size_t prefixed = std::min(lags.rank, 2 * lags.stored_pairs);
    for (std::size_t k = 0; k < prefixed; ++k) {
        double* column = factor.columns[k].get();
        double sum = 0.0;
        for (std::size_t u = 0; u < count; ++u) column[u] = sum = sum + column[u];
    }
    lags.columns = std::move(factor.columns);
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
        const bool stored = p < lags.stored_pairs;
        const double* a = lags.columns[2 * p].get();
        const double* b = 2 * p + 1 < lags.rank ? lags.columns[2 * p + 1].get() : nullptr;
        const Complex* h = buffers.product;
        if (stored) {
            h = lags.spectra.data() + p * length;
        } else {
            pair_spectrum(lags.plan, a, b, count, buffers.product, buffers.scratch);
        }
        correlate_pair(lags.plan, buffers.spectrum, h, count, buffers.product, buffers.scratch);
        const Complex* c = buffers.product - 1;  // c[j]: lag j
        add_squares<&Complex::re>(c, a, stored, centre, means, n, q);
        if (b == nullptr) break;
        add_squares<&Complex::im>(c, b, stored, centre, means, n, q);
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
