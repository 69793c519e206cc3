// Cross-correlations of one real sequence with many fixed real sequences at
// every lag, by the transforms of fft.hpp:
//     c(j) = sum_{u < len} x[u + j] a[u],   j = 0..lags-1 (x zero beyond its end).
//
// Two fixed sequences travel in one complex one, z = a + i b: x is real, so
// the correlation of x with z is c_a + i c_b, and each transform of a
// correlation yields two (the pairing halves the transforms per call).
//
// With X = F(x) and Z = F(z), the correlation has the spectrum X[f] Z[-f]; it
// is N F^-1 of it, computed as conj(F(conj(X[f]) H[f])) with the precomputed
//     H[f] = conj(Z[-f]) / N,
// so a call costs one product per frequency and one transform, and no
// scaling. The transform length N must be at least len_x + len - 1 so that
// no term wraps around. Every function is a fixed sequence of operations
// (same bits everywhere), allocates nothing and reads shared data only.
#pragma once

#include <cstddef>

#include "src/statistical_tests/generalized_spectral/complex.hpp"
#include "src/statistical_tests/generalized_spectral/fft.hpp"

namespace larkspur::statistical_tests::generalized_spectral {

// H for the pair (a, b) of length len <= N; b may be null (then b = 0).
// out and scratch hold N values each.
void pair_spectrum(const FftPlan& plan, const double* a, const double* b, std::size_t len, Complex* out,
                   Complex* scratch) noexcept;

// X = F(x) of the real x of length len <= N, zero-padded.
void real_spectrum(const FftPlan& plan, const double* x, std::size_t len, Complex* out, Complex* scratch) noexcept;

// out[j] = c_a(j) + i c_b(j) for j < lags (the entries from lags on are left
// in an unspecified state), from X (real_spectrum) and H (pair_spectrum).
// out may be pair_h: the product is formed frequency by frequency.
void correlate_pair(const FftPlan& plan, const Complex* spectrum_x, const Complex* pair_h, std::size_t lags,
                    Complex* out, Complex* scratch) noexcept;

}  // namespace larkspur::statistical_tests::generalized_spectral
