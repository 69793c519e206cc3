// The per-series lag kernel, written once over the vector types of
// simd_portability.hpp: the sums G_j and T_j (see lag_kernels.hpp) of a
// block of consecutive lags of one series. Included only by lag_kernels.cpp,
// which compiles it once per kernel variant.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "src/statistical_tests/lag_kernels.hpp"
#include "src/statistical_tests/series_element.hpp"
#include "src/statistical_tests/simd_portability.hpp"

namespace larkspur::statistical_tests::lag_kernel {

// Continues the two sums of one lag over k = from .. n - lag - 1, one
// pair at a time in ascending k: the plain loop, and the tail of a block.
inline LagSums extend_lag_sums(const unsigned char* x, std::uint64_t n, double mean, std::uint64_t lag,
                               std::uint64_t from, LagSums sums) noexcept {
    for (std::uint64_t k = from; k < n - lag; ++k) {
        const double e0 = load_element(x, k) - mean;
        const double ej = load_element(x, k + lag) - mean;
        sums.g = sums.g + e0 * ej;
        sums.t = sums.t + (e0 * e0) * (ej * ej);
    }
    return sums;
}

// Elements of k handled per block; the deviation blocks live on the stack.
constexpr std::size_t chunk = 512;

// One block of up to lanes_of<V> * Rows lags: Rows vectors, lane l of each
// belonging to one lag, hold independent G and T chains, so 2 * Rows
// additions are in flight and the latency of one chain hides behind the
// others. Within a lane the additions stay in ascending k. V is one of the
// vector types of simd_portability.hpp (lane-wise + and *, each lane rounded
// on its own).
template <class V, std::size_t Rows>
LARKSPUR_ALWAYS_INLINE void lag_block(const unsigned char* x, std::uint64_t n, double mean, std::uint64_t first_lag,
                                      std::size_t count, LagSums* out) noexcept {
    constexpr std::size_t width = simd::lanes_of<V>;
    constexpr std::size_t lanes = width * Rows;
    V g[Rows];
    V t[Rows];
    for (std::size_t r = 0; r < Rows; ++r) {
        simd::fill(g[r], -0.0);
        simd::fill(t[r], -0.0);
    }
    // Lead deviations e_k and their squares, and the lagged window
    // e_{k+first_lag} .. shared by all lanes; each computed once per block.
    alignas(64) double lead[chunk];
    alignas(64) double lead_sq[chunk];
    alignas(64) double lagged[chunk + lanes];
    alignas(64) double lagged_sq[chunk + lanes];

    const std::uint64_t last_lag = first_lag + count - 1;
    const std::uint64_t common = n - last_lag;  // k valid for every lag of the block
    for (std::uint64_t k0 = 0; k0 < common; k0 += chunk) {
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, common - k0));
        for (std::size_t i = 0; i < length; ++i) {
            const double e = load_element(x, k0 + i) - mean;
            lead[i] = e;
            lead_sq[i] = e * e;
        }
        const std::size_t window = length + count - 1;
        for (std::size_t i = 0; i < window; ++i) {
            const double e = load_element(x, k0 + first_lag + i) - mean;
            lagged[i] = e;
            lagged_sq[i] = e * e;
        }
        for (std::size_t i = window; i < length + lanes - 1; ++i) {
            lagged[i] = 0.0;  // lanes past `count` compute values that are discarded
            lagged_sq[i] = 0.0;
        }
        for (std::size_t i = 0; i < length; ++i) {
            const double a = lead[i];
            const double a_sq = lead_sq[i];
            for (std::size_t r = 0; r < Rows; ++r) {
                V w;
                V w_sq;
                simd::load(w, lagged + i + r * width);
                simd::load(w_sq, lagged_sq + i + r * width);
                g[r] = g[r] + a * w;
                t[r] = t[r] + a_sq * w_sq;
            }
        }
    }
    double g_lanes[lanes];
    double t_lanes[lanes];
    for (std::size_t r = 0; r < Rows; ++r) {
        simd::store(g_lanes + r * width, g[r]);
        simd::store(t_lanes + r * width, t[r]);
    }
    // Each lag has n - j pairs: the smaller lags of the block continue past
    // the common range, still in ascending k.
    for (std::size_t b = 0; b < count; ++b) {
        out[b] = extend_lag_sums(x, n, mean, first_lag + b, common, LagSums{g_lanes[b], t_lanes[b]});
    }
}

// Most lags one lag_block_for<V> call covers (four rows): a variant's
// block_lags, so that no record can ask for more lanes than exist.
template <class V>
inline constexpr std::size_t block_lags = 4 * simd::lanes_of<V>;

// Narrow blocks for few lags (the default d is small for short series, and
// the last block of a large d is often partial): the fewest vector rows that
// cover `count` lanes, so that no pass over the data computes a whole row of
// discarded lanes.
template <class V>
LARKSPUR_ALWAYS_INLINE void lag_block_for(const unsigned char* x, std::uint64_t n, double mean, std::uint64_t first_lag,
                                          std::size_t count, LagSums* out) noexcept {
    constexpr std::size_t width = simd::lanes_of<V>;
    if (count <= width) {
        lag_block<V, 1>(x, n, mean, first_lag, count, out);
    } else if (count <= 2 * width) {
        lag_block<V, 2>(x, n, mean, first_lag, count, out);
    } else if (count <= 3 * width) {
        lag_block<V, 3>(x, n, mean, first_lag, count, out);
    } else {
        lag_block<V, 4>(x, n, mean, first_lag, count, out);
    }
}

// One lag at a time, both sums in one pass: the plain loop.
inline void plain_lag_sums(const unsigned char* x, std::uint64_t n, double mean, std::uint64_t first_lag,
                           std::size_t count, LagSums* out) noexcept {
    for (std::size_t b = 0; b < count; ++b) {
        out[b] = extend_lag_sums(x, n, mean, first_lag + b, 0, LagSums{-0.0, -0.0});
    }
}

}  // namespace larkspur::statistical_tests::lag_kernel
