// Complex: a pair of binary64 values with the arithmetic written out, so
// that every product and sum is the same sequence of correctly rounded
// operations on every compiler (std::complex's operator* may take a
// recovery path for infinities and NaNs, and its order is the library's).
#pragma once

namespace larkspur::statistical_tests::generalized_spectral {

struct Complex {
    double re;
    double im;
};

[[nodiscard]] inline Complex operator+(Complex a, Complex b) noexcept { return {a.re + b.re, a.im + b.im}; }
[[nodiscard]] inline Complex operator-(Complex a, Complex b) noexcept { return {a.re - b.re, a.im - b.im}; }
// (a.re + i a.im)(b.re + i b.im), real part a.re b.re - a.im b.im.
[[nodiscard]] inline Complex operator*(Complex a, Complex b) noexcept {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
[[nodiscard]] inline Complex scale(Complex a, double c) noexcept { return {a.re * c, a.im * c}; }
// -i a and +i a: exact.
[[nodiscard]] inline Complex times_minus_i(Complex a) noexcept { return {a.im, -a.re}; }
[[nodiscard]] inline Complex times_i(Complex a) noexcept { return {-a.im, a.re}; }
// conj(a) * b, real part a.re b.re + a.im b.im.
[[nodiscard]] inline Complex conj_times(Complex a, Complex b) noexcept {
    return {a.re * b.re + a.im * b.im, a.re * b.im - a.im * b.re};
}

}  // namespace larkspur::statistical_tests::generalized_spectral
