#include "src/statistical_tests/generalized_spectral/fft.hpp"

#include <limits>
#include <utility>

#include "base/internal_fault.hpp"
#include "src/statistical_tests/generalized_spectral/unit_roots.hpp"

namespace larkspur::statistical_tests::generalized_spectral {

FftPlan::FftPlan(std::size_t length) : length_(length) {
    if (length == 0) throw InternalFault("FftPlan: length 0");
    std::size_t rest = length;
    while (rest % 4 == 0) radices_.push_back(4), rest /= 4;
    while (rest % 2 == 0) radices_.push_back(2), rest /= 2;
    while (rest % 3 == 0) radices_.push_back(3), rest /= 3;
    while (rest % 5 == 0) radices_.push_back(5), rest /= 5;
    if (rest != 1) throw InternalFault("FftPlan: the length has a prime factor other than 2, 3 and 5");
    roots_.resize(length);
    unit_roots(length, roots_.data());
}

std::size_t FftPlan::good_length(std::size_t minimum) {
    std::size_t best = std::numeric_limits<std::size_t>::max();
    for (const std::size_t odd :
         {std::size_t{1}, std::size_t{3}, std::size_t{5}, std::size_t{9}, std::size_t{15}, std::size_t{25}}) {
        std::size_t candidate = odd;
        while (candidate < minimum) {
            if (candidate > std::numeric_limits<std::size_t>::max() / 2) throw InternalFault("FftPlan: too long");
            candidate *= 2;
        }
        if (candidate < best) best = candidate;
    }
    return best;
}

namespace {

// One Stockham pass of radix p over sub-transforms of length `span` (= p m)
// at stride `stride`: for q < m and k < stride,
//   a_t = x[k + stride (q + t m)],  y[k + stride (p q + r)] = w^(r q) sum_t a_t exp(-2 pi i r t / p),
// w = exp(-2 pi i / span) = roots[stride].
void pass4(const Complex* x, Complex* y, std::size_t m, std::size_t stride, const Complex* roots) noexcept {
    for (std::size_t q = 0; q < m; ++q) {
        const Complex w1 = roots[q * stride];
        const Complex w2 = roots[2 * q * stride];
        const Complex w3 = roots[3 * q * stride];
        for (std::size_t k = 0; k < stride; ++k) {
            const Complex a0 = x[k + stride * q];
            const Complex a1 = x[k + stride * (q + m)];
            const Complex a2 = x[k + stride * (q + 2 * m)];
            const Complex a3 = x[k + stride * (q + 3 * m)];
            const Complex s02 = a0 + a2;
            const Complex d02 = a0 - a2;
            const Complex s13 = a1 + a3;
            const Complex d13 = times_minus_i(a1 - a3);
            Complex* out = y + k + stride * 4 * q;
            out[0] = s02 + s13;
            out[stride] = (d02 + d13) * w1;
            out[2 * stride] = (s02 - s13) * w2;
            out[3 * stride] = (d02 - d13) * w3;
        }
    }
}

void pass2(const Complex* x, Complex* y, std::size_t m, std::size_t stride, const Complex* roots) noexcept {
    for (std::size_t q = 0; q < m; ++q) {
        const Complex w1 = roots[q * stride];
        for (std::size_t k = 0; k < stride; ++k) {
            const Complex a0 = x[k + stride * q];
            const Complex a1 = x[k + stride * (q + m)];
            Complex* out = y + k + stride * 2 * q;
            out[0] = a0 + a1;
            out[stride] = (a0 - a1) * w1;
        }
    }
}

// Odd radices pair t with p - t: a_t w^(rt) + a_(p-t) w^(-rt) =
// cos(2 pi r t / p) (a_t + a_(p-t)) - i sin(2 pi r t / p) (a_t - a_(p-t)).
void pass3(const Complex* x, Complex* y, std::size_t m, std::size_t stride, const Complex* roots,
           std::size_t length) noexcept {
    const double s1 = -roots[length / 3].im;  // sin(2 pi / 3); cos(2 pi / 3) = -1/2
    for (std::size_t q = 0; q < m; ++q) {
        const Complex w1 = roots[q * stride];
        const Complex w2 = roots[2 * q * stride];
        for (std::size_t k = 0; k < stride; ++k) {
            const Complex a0 = x[k + stride * q];
            const Complex a1 = x[k + stride * (q + m)];
            const Complex a2 = x[k + stride * (q + 2 * m)];
            const Complex sum = a1 + a2;
            const Complex a = a0 - scale(sum, 0.5);
            const Complex b = scale(a1 - a2, s1);
            Complex* out = y + k + stride * 3 * q;
            out[0] = a0 + sum;
            out[stride] = (a + times_minus_i(b)) * w1;
            out[2 * stride] = (a + times_i(b)) * w2;
        }
    }
}

void pass5(const Complex* x, Complex* y, std::size_t m, std::size_t stride, const Complex* roots,
           std::size_t length) noexcept {
    const double c1 = roots[length / 5].re;       // cos(2 pi / 5)
    const double s1 = -roots[length / 5].im;      // sin(2 pi / 5)
    const double c2 = roots[2 * length / 5].re;   // cos(4 pi / 5)
    const double s2 = -roots[2 * length / 5].im;  // sin(4 pi / 5)
    for (std::size_t q = 0; q < m; ++q) {
        const Complex w1 = roots[q * stride];
        const Complex w2 = roots[2 * q * stride];
        const Complex w3 = roots[3 * q * stride];
        const Complex w4 = roots[4 * q * stride];
        for (std::size_t k = 0; k < stride; ++k) {
            const Complex a0 = x[k + stride * q];
            const Complex a1 = x[k + stride * (q + m)];
            const Complex a2 = x[k + stride * (q + 2 * m)];
            const Complex a3 = x[k + stride * (q + 3 * m)];
            const Complex a4 = x[k + stride * (q + 4 * m)];
            const Complex sum14 = a1 + a4;
            const Complex dif14 = a1 - a4;
            const Complex sum23 = a2 + a3;
            const Complex dif23 = a2 - a3;
            const Complex a = (a0 + scale(sum14, c1)) + scale(sum23, c2);
            const Complex b = scale(dif14, s1) + scale(dif23, s2);
            const Complex c = (a0 + scale(sum14, c2)) + scale(sum23, c1);
            const Complex d = scale(dif14, s2) - scale(dif23, s1);
            Complex* out = y + k + stride * 5 * q;
            out[0] = (a0 + sum14) + sum23;
            out[stride] = (a + times_minus_i(b)) * w1;
            out[2 * stride] = (c + times_minus_i(d)) * w2;
            out[3 * stride] = (c + times_i(d)) * w3;
            out[4 * stride] = (a + times_i(b)) * w4;
        }
    }
}

}  // namespace

void FftPlan::transform(Complex* data, Complex* scratch) const noexcept {
    Complex* x = data;
    Complex* y = scratch;
    std::size_t span = length_;
    std::size_t stride = 1;
    for (const unsigned radix : radices_) {
        const std::size_t m = span / radix;
        switch (radix) {
            case 4:
                pass4(x, y, m, stride, roots_.data());
                break;
            case 2:
                pass2(x, y, m, stride, roots_.data());
                break;
            case 3:
                pass3(x, y, m, stride, roots_.data(), length_);
                break;
            default:
                pass5(x, y, m, stride, roots_.data(), length_);
                break;
        }
        std::swap(x, y);
        span = m;
        stride *= radix;
    }
    if (x != data) {
        for (std::size_t i = 0; i < length_; ++i) data[i] = x[i];
    }
}

}  // namespace larkspur::statistical_tests::generalized_spectral
