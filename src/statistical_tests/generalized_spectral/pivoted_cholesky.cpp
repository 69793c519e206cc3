#include "src/statistical_tests/generalized_spectral/pivoted_cholesky.hpp"

#include <cmath>

#include "numerics/correctly_rounded.hpp"

namespace larkspur::statistical_tests::generalized_spectral {

double gaussian_kernel(double p, double q) noexcept {
    const double difference = p - q;
    return numerics::cr_exp(-(difference * difference) * 0.5);
}

LowRankFactor pivoted_cholesky(const double* points, std::size_t count, double tolerance) {
    LowRankFactor factor;
    factor.points = count;
    std::vector<double>& diagonal = factor.residual_diagonal;
    diagonal.assign(count, 1.0);  // K(u, u) = exp(0) = 1
    std::vector<unsigned char> pivoted(count, 0);
    const double stop_below = tolerance * static_cast<double>(count);
    while (factor.columns.size() < count) {
        double trace = 0.0;
        std::size_t pivot = 0;
        for (std::size_t u = 0; u < count; ++u) {
            trace += diagonal[u];
            if (diagonal[u] > diagonal[pivot]) pivot = u;
        }
        if (!(trace >= stop_below) || !(diagonal[pivot] > 0.0)) break;
        const std::size_t rank = factor.columns.size();
        auto column = std::make_unique<double[]>(count);
        double* l = column.get();
        const double p = points[pivot];
        for (std::size_t u = 0; u < count; ++u) l[u] = gaussian_kernel(points[u], p);
        for (std::size_t k = 0; k < rank; ++k) {
            const double* previous = factor.columns[k].get();
            const double at_pivot = previous[pivot];
            for (std::size_t u = 0; u < count; ++u) l[u] = l[u] - previous[u] * at_pivot;
        }
        const double root = std::sqrt(diagonal[pivot]);
        for (std::size_t u = 0; u < count; ++u) l[u] = l[u] / root;
        // Rows pivoted before are reproduced exactly (their residual is 0);
        // the pivot's own entry is the root.
        for (std::size_t u = 0; u < count; ++u) {
            if (pivoted[u] != 0) l[u] = 0.0;
        }
        l[pivot] = root;
        pivoted[pivot] = 1;
        for (std::size_t u = 0; u < count; ++u) {
            const double next = diagonal[u] - l[u] * l[u];
            diagonal[u] = next > 0.0 ? next : 0.0;
        }
        diagonal[pivot] = 0.0;
        factor.columns.push_back(std::move(column));
    }
    const double rounding = 2.0 * static_cast<double>(factor.columns.size() + 1) * 0x1p-53;
    for (double& e : diagonal) e = e + rounding;
    return factor;
}

}  // namespace larkspur::statistical_tests::generalized_spectral
