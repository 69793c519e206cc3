// FftPlan: the forward discrete Fourier transform
//     X[f] = sum_{t<N} x[t] exp(-2 pi i f t / N)
// of complex data of length N = 2^a 3^b 5^c, in place.
//
// Contract:
//   * Stockham's autosort algorithm, iterative, decimation in frequency
//     (C. Van Loan, "Computational Frameworks for the Fast Fourier
//     Transform", SIAM 1992, sections 1.7 and 2.3): no bit reversal, one
//     pass per factor, radix 4 first, then 2, 3 and 5. The order of every
//     operation is fixed by N alone, and the twiddle factors are the
//     platform-independent table of unit_roots.hpp, so the output is the
//     same bits on every platform for the same input.
//   * Immutable after construction: one plan serves any number of threads,
//     each with its own scratch of N values.
//   * Construction throws std::bad_alloc when the table cannot be allocated;
//     the caller turns it into an error value.
//   * transform() makes no allocation. There is no inverse: conj(F(conj(X)))
//     is N times the inverse transform, which is how callers use it.
#pragma once

#include <cstddef>
#include <vector>

#include "src/statistical_tests/generalized_spectral/complex.hpp"

namespace larkspur::statistical_tests::generalized_spectral {

class FftPlan {
public:
    // length >= 1 and of the form 2^a 3^b 5^c (checked: InternalFault otherwise).
    explicit FftPlan(std::size_t length);

    [[nodiscard]] std::size_t length() const noexcept { return length_; }
    // data and scratch each hold length() values; the result replaces data.
    void transform(Complex* data, Complex* scratch) const noexcept;

    // The smallest length >= minimum of the form 2^a times 1, 3, 5, 9, 15 or
    // 25: factors of 2 are the cheapest passes, and a few small odd factors
    // keep the padding below 1.25x (a length such as 2^6 5^5 runs at less than half
    // the speed of the slightly longer 2^13 25).
    [[nodiscard]] static std::size_t good_length(std::size_t minimum);

private:
    std::size_t length_;
    std::vector<unsigned> radices_;
    std::vector<Complex> roots_;  // exp(-2 pi i k / N), k < N
};

}  // namespace larkspur::statistical_tests::generalized_spectral
