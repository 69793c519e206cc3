// The weighted sum over lags sum_{j=1}^{n-1} w_j Q_j of the quadratic forms
// Q_j = a^(j)' K_{m_j} a^(j), a^(j)_u = x_{u+j} - c_j (u < m_j = n - j), where
// K_m is the Gaussian kernel matrix on the first m lagged points and c_j is
// the mean of x_{j..n-1} (centred) or 0. Two ways, one contract:
//   LowRankLags: K ~ L L' (pivoted_cholesky.hpp); for each pair of columns one
//     correlation of x_1..x_{n-1} with the pair gives c_k(j) = sum_u x_{u+j} L_{u,k} - c_j sum_{u<m_j} L_{u,k}
//     at every lag, and Q_j = sum_k c_k(j)^2 in ascending k. Cost per call:
//     one transform for x and ceil(r/2) for the pairs, plus O(r n), plus one
//     more transform for each pair whose spectrum is not stored. Memory: the
//     spectra of N that fit the budget and r columns of n - 1 values.
//     bound = sum_j w_j (sum_{t>=j} x_t^2) trace(E_{m_j}) >= sum_j w_j a' E a,
//     since centring can only reduce the sum of squares.
//   ExactLags: the full matrix K (M^2 values); Q_j = sum_u a_u (a_u + 2 sum_{v<u} K_uv a_v),
//     u and v ascending. O(n^3 / 6) per call; bound 0.
// Both: sums in ascending lag order, all buffers the caller's (LagBuffers),
// no allocation per call; the makers throw std::bad_alloc.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "src/statistical_tests/generalized_spectral/complex.hpp"
#include "src/statistical_tests/generalized_spectral/fft.hpp"

namespace larkspur::statistical_tests::generalized_spectral {

struct LagBuffers {
    Complex* spectrum;  // N values (low rank only)
    Complex* product;   // N; also holds the spectrum of a pair that is not stored
    Complex* scratch;   // N
    double* suffix;     // n + 1
    double* squares;    // n + 1
    double* lag_sums;   // n
};

struct WeightedSum {
    double sum;
    double bound;
};

// Pairs p < stored_pairs (columns 2p and 2p + 1) have their spectra stored
// and their columns replaced by prefix sums; the later pairs keep their
// columns as factored, and each call transforms them again and sums their
// prefixes as it walks the lags: the same operations in the same order as
// at make time, so the same bits as if every spectrum were stored.
struct LowRankLags {
    FftPlan plan;
    std::size_t rank = 0;
    std::size_t stored_pairs = 0;
    std::vector<Complex> spectra;  // pair p < stored_pairs at [p N, (p + 1) N)
    // Column k, entry i: sum_{u<=i} L_{u,k} if k < 2 stored_pairs, else L_{i,k}.
    std::vector<std::unique_ptr<double[]>> columns;
    std::vector<double> residual_prefix;  // sum_{u<=i} E_uu (with its rounding allowance)
};

// points: the M = n - 1 lagged points; spectra_budget: the bytes the stored
// spectra may take (16 N per pair).
[[nodiscard]] LowRankLags make_low_rank_lags(const double* points, std::size_t count, double tolerance,
                                             std::size_t spectra_budget);
[[nodiscard]] WeightedSum low_rank_weighted_sum(const LowRankLags& lags, const double* x, std::size_t n, bool centre,
                                                const double* weights, const LagBuffers& buffers) noexcept;

struct ExactLags {
    std::size_t points = 0;
    std::vector<double> kernel;  // row-major M x M
};

[[nodiscard]] ExactLags make_exact_lags(const double* points, std::size_t count);
[[nodiscard]] WeightedSum exact_weighted_sum(const ExactLags& lags, const double* x, std::size_t n, bool centre,
                                             const double* weights, const LagBuffers& buffers) noexcept;

}  // namespace larkspur::statistical_tests::generalized_spectral
