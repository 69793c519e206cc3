#include "src/statistical_tests/generalized_spectral/real_correlation.hpp"

namespace larkspur::statistical_tests::generalized_spectral {

void pair_spectrum(const FftPlan& plan, const double* a, const double* b, std::size_t len, Complex* out,
                   Complex* scratch) noexcept {
    const std::size_t n = plan.length();
    for (std::size_t u = 0; u < len; ++u) out[u] = {a[u], b != nullptr ? b[u] : 0.0};
    for (std::size_t u = len; u < n; ++u) out[u] = {0.0, 0.0};
    plan.transform(out, scratch);
    // H[f] = conj(Z[(N - f) mod N]) / N: Z[0] stays, Z[f] and Z[N - f] trade places.
    const auto divisor = static_cast<double>(n);
    out[0] = {out[0].re / divisor, -out[0].im / divisor};
    for (std::size_t f = 1; f < n - f; ++f) {
        const Complex low = out[f];
        const Complex high = out[n - f];
        out[f] = {high.re / divisor, -high.im / divisor};
        out[n - f] = {low.re / divisor, -low.im / divisor};
    }
    if (n % 2 == 0) out[n / 2] = {out[n / 2].re / divisor, -out[n / 2].im / divisor};
}

void real_spectrum(const FftPlan& plan, const double* x, std::size_t len, Complex* out, Complex* scratch) noexcept {
    const std::size_t n = plan.length();
    for (std::size_t t = 0; t < len; ++t) out[t] = {x[t], 0.0};
    for (std::size_t t = len; t < n; ++t) out[t] = {0.0, 0.0};
    plan.transform(out, scratch);
}

void correlate_pair(const FftPlan& plan, const Complex* spectrum_x, const Complex* pair_h, std::size_t lags,
                    Complex* out, Complex* scratch) noexcept {
    const std::size_t n = plan.length();
    for (std::size_t f = 0; f < n; ++f) out[f] = conj_times(spectrum_x[f], pair_h[f]);
    plan.transform(out, scratch);
    for (std::size_t j = 0; j < lags; ++j) out[j].im = -out[j].im;
}

}  // namespace larkspur::statistical_tests::generalized_spectral
