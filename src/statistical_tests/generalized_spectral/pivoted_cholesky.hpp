// pivoted_cholesky: a low-rank factor K ~ L L' of the Gaussian kernel matrix
// K(u, v) = exp(-(p_u - p_v)^2 / 2) on the points p_0..p_{M-1}, by the
// pivoted (incomplete) Cholesky decomposition of H. Harbrecht, M. Peters
// and R. Schneider, "On the low-rank approximation by the pivoted Cholesky
// decomposition", Applied Numerical Mathematics 62 (2012) 428-440.
//
// Contract:
//   * Greedy pivoting on the largest residual diagonal, ties to the lowest
//     index; it stops before a step when the residual trace is below
//     tolerance * M (or at rank M). Columns are built from K's column at the
//     pivot (M correctly rounded cr_exp) minus the earlier columns in
//     ascending order, so the factor is the same bits everywhere.
//   * The residual E = K - L L' is positive semidefinite in exact arithmetic,
//     so any quadratic form a' L L' a underestimates a' K a by a' E a, and
//     a' E a <= |a|^2 trace(E). residual_diagonal holds the computed E_uu
//     (clamped at 0) plus the bound 2 (rank + 1) 2^-53 on their rounding
//     error, so each entry is at least the E_uu of the computed L.
//   * Cost O(M r^2) operations and M r cr_exp; memory M (r + 1) doubles.
//   * Allocation failure throws std::bad_alloc (callers return an error value).
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace larkspur::statistical_tests::generalized_spectral {

struct LowRankFactor {
    std::size_t points = 0;
    // Column k of L (M values each), in pivot order.
    std::vector<std::unique_ptr<double[]>> columns;
    std::vector<double> residual_diagonal;
};

[[nodiscard]] LowRankFactor pivoted_cholesky(const double* points, std::size_t count, double tolerance);

// K(u, v) for two points: exp(-(p - q)^2 / 2), the one formula the factor,
// the exact path and the tests share.
[[nodiscard]] double gaussian_kernel(double p, double q) noexcept;

}  // namespace larkspur::statistical_tests::generalized_spectral
