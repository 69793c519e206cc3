// The side-by-side kernel, written once over the vector types of
// simd_portability.hpp: summaries and lag sums of up to group_width series
// of one length, lane s of every vector belonging to series s (see
// series_group.hpp for the contract). Included by lag_kernels.cpp, which
// compiles group_lag_sums once per kernel variant, and by series_group.cpp
// for GroupSums.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>

#include "src/statistical_tests/escanciano_lobato.hpp"
#include "src/statistical_tests/series_group.hpp"
#include "src/statistical_tests/simd_portability.hpp"

namespace larkspur::statistical_tests {

// The sums of every lane, in memory between chunks: lag j at row j - 1.
struct GroupSums {
    double g[group_max_lag][group_width];
    double t[group_max_lag][group_width];
};

}  // namespace larkspur::statistical_tests

namespace larkspur::statistical_tests::group_kernel {

constexpr std::size_t width = group_width;

// Leads k per chunk; the deviations of a chunk and of the d rows after it
// (lane-major: row k holds e_k of every series) stay in L1.
constexpr std::size_t chunk_rows = 128;
constexpr std::size_t buffer_rows = chunk_rows + group_max_lag;

// Reads the series row by row: row k holds element k of every lane, each
// through its own pointer and stride.
class RowReader {
public:
    LARKSPUR_ALWAYS_INLINE RowReader(const GroupSeries* lanes, std::uint64_t from) noexcept {
        for (std::size_t s = 0; s < width; ++s) {
            cursor_[s] = lanes[s].data + static_cast<std::ptrdiff_t>(from) * lanes[s].stride;
            stride_[s] = lanes[s].stride;
        }
    }
    LARKSPUR_ALWAYS_INLINE void next(double* row) noexcept {
        for (std::size_t s = 0; s < width; ++s) {
            std::memcpy(&row[s], cursor_[s], sizeof(double));
            cursor_[s] += stride_[s];
        }
    }

private:
    const unsigned char* cursor_[width];
    std::ptrdiff_t stride_[width];
};

struct GroupSummary {
    double sum[width];
    double low[width];
    double high[width];
};

// One pass: the sequential sum of every lane, and beside it the smallest
// and largest value (the series is constant exactly when they are equal).
template <class V>
LARKSPUR_ALWAYS_INLINE void group_summary(const GroupSeries* lanes, std::uint64_t n, GroupSummary& summary) noexcept {
    constexpr std::size_t lanes_per_vector = simd::lanes_of<V>;
    constexpr std::size_t vectors = width / lanes_per_vector;
    RowReader reader(lanes, 0);
    double row[width];
    reader.next(row);
    V sum[vectors];
    V low[vectors];
    V high[vectors];
    for (std::size_t r = 0; r < vectors; ++r) {
        simd::fill(sum[r], -0.0);
        simd::load(low[r], row + r * lanes_per_vector);
        high[r] = low[r];
        V first;
        simd::load(first, row + r * lanes_per_vector);
        sum[r] = sum[r] + first;
    }
    for (std::uint64_t k = 1; k < n; ++k) {
        reader.next(row);
        for (std::size_t r = 0; r < vectors; ++r) {
            V value;
            simd::load(value, row + r * lanes_per_vector);
            sum[r] = sum[r] + value;
            simd::keep_extreme(low[r], value, std::less<>{});
            simd::keep_extreme(high[r], value, std::greater<>{});
        }
    }
    for (std::size_t r = 0; r < vectors; ++r) {
        simd::store(summary.sum + r * lanes_per_vector, sum[r]);
        simd::store(summary.low + r * lanes_per_vector, low[r]);
        simd::store(summary.high + r * lanes_per_vector, high[r]);
    }
}

// Lags first .. first + Count - 1 over leads [0, leads) of a chunk: Count x
// Rows vectors each of G and T, independent chains; every lane adds its
// terms in ascending k, exactly as the plain loop does.
template <class V, std::size_t Count>
LARKSPUR_ALWAYS_INLINE void accumulate(const double* e, const double* e_sq, std::size_t leads, std::size_t first,
                                       double (*g)[width], double (*t)[width]) noexcept {
    constexpr std::size_t lanes = simd::lanes_of<V>;
    constexpr std::size_t rows = width / lanes;
    V gv[Count][rows];
    V tv[Count][rows];
    for (std::size_t b = 0; b < Count; ++b) {
        for (std::size_t r = 0; r < rows; ++r) {
            simd::load(gv[b][r], g[b] + r * lanes);
            simd::load(tv[b][r], t[b] + r * lanes);
        }
    }
    for (std::size_t i = 0; i < leads; ++i) {
        for (std::size_t r = 0; r < rows; ++r) {
            V a;
            V a_sq;
            simd::load(a, e + i * width + r * lanes);
            simd::load(a_sq, e_sq + i * width + r * lanes);
            for (std::size_t b = 0; b < Count; ++b) {
                V w;
                V w_sq;
                simd::load(w, e + (i + first + b) * width + r * lanes);
                simd::load(w_sq, e_sq + (i + first + b) * width + r * lanes);
                gv[b][r] = gv[b][r] + a * w;
                tv[b][r] = tv[b][r] + a_sq * w_sq;
            }
        }
    }
    for (std::size_t b = 0; b < Count; ++b) {
        for (std::size_t r = 0; r < rows; ++r) {
            simd::store(g[b] + r * lanes, gv[b][r]);
            simd::store(t[b] + r * lanes, tv[b][r]);
        }
    }
}

template <class V, std::size_t Block>
LARKSPUR_ALWAYS_INLINE void accumulate_block(std::size_t count, const double* e, const double* e_sq, std::size_t leads,
                                             std::size_t first, GroupSums& sums) noexcept {
    static_assert(Block >= 1 && Block <= 6);
    double(*g)[width] = sums.g + (first - 1);
    double(*t)[width] = sums.t + (first - 1);
    switch (count) {
        case 1:
            accumulate<V, 1>(e, e_sq, leads, first, g, t);
            return;
        case 2:
            if constexpr (Block >= 2) {
                accumulate<V, 2>(e, e_sq, leads, first, g, t);
                return;
            }
            break;
        case 3:
            if constexpr (Block >= 3) {
                accumulate<V, 3>(e, e_sq, leads, first, g, t);
                return;
            }
            break;
        case 4:
            if constexpr (Block >= 4) {
                accumulate<V, 4>(e, e_sq, leads, first, g, t);
                return;
            }
            break;
        case 5:
            if constexpr (Block >= 5) {
                accumulate<V, 5>(e, e_sq, leads, first, g, t);
                return;
            }
            break;
        case 6:
            if constexpr (Block >= 6) {
                accumulate<V, 6>(e, e_sq, leads, first, g, t);
                return;
            }
            break;
        default:
            break;
    }
}

// G_j and T_j of lags 1 .. d for every lane, d < n. Chunk by chunk of
// leads: the deviations and their squares are formed once per chunk, then
// every block of Block lags runs over the leads all its lags share, and
// each lag continues alone over the few leads only it has.
template <class V, std::size_t Block>
LARKSPUR_ALWAYS_INLINE void group_sums(const GroupSeries* lanes, std::uint64_t n, std::uint64_t d, const double* mean,
                                       GroupSums& sums) noexcept {
    constexpr std::size_t lanes_per_vector = simd::lanes_of<V>;
    alignas(64) double e[buffer_rows * width];
    alignas(64) double e_sq[buffer_rows * width];
    V centre[width / lanes_per_vector];
    for (std::size_t r = 0; r < width / lanes_per_vector; ++r) simd::load(centre[r], mean + r * lanes_per_vector);
    for (std::uint64_t j = 0; j < d; ++j) {
        for (std::size_t s = 0; s < width; ++s) {
            sums.g[j][s] = -0.0;
            sums.t[j][s] = -0.0;
        }
    }
    // Lead k pairs with k + j for k < n - j: lag 1 has the most leads.
    for (std::uint64_t k0 = 0; k0 < n - 1; k0 += chunk_rows) {
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(chunk_rows, n - 1 - k0));
        const auto rows = static_cast<std::size_t>(std::min<std::uint64_t>(n - k0, chunk + d));
        RowReader reader(lanes, k0);
        for (std::size_t i = 0; i < rows; ++i) {
            double row[width];
            reader.next(row);
            for (std::size_t r = 0; r < width / lanes_per_vector; ++r) {
                V value;
                simd::load(value, row + r * lanes_per_vector);
                const V deviation = value - centre[r];
                simd::store(e + i * width + r * lanes_per_vector, deviation);
                simd::store(e_sq + i * width + r * lanes_per_vector, deviation * deviation);
            }
        }
        // Leads of this chunk that lag j has.
        const auto leads_of = [&](std::uint64_t j) {
            return n - j <= k0 ? std::size_t{0} : static_cast<std::size_t>(std::min<std::uint64_t>(chunk, n - j - k0));
        };
        for (std::uint64_t first = 1; first <= d; first += Block) {
            const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(Block, d - first + 1));
            const std::size_t shared = leads_of(first + count - 1);
            accumulate_block<V, Block>(count, e, e_sq, shared, first, sums);
            for (std::size_t b = 0; b + 1 < count; ++b) {
                const std::size_t own = leads_of(first + b);
                if (own > shared) {
                    accumulate_block<V, Block>(1, e + shared * width, e_sq + shared * width, own - shared, first + b,
                                               sums);
                }
            }
        }
    }
}

// Which lanes the side-by-side path can take, from their summaries; their
// means go to `mean`. Lanes left out (and padding) compute a copy of a
// usable lane: no infinities or subnormals slow the shared passes.
LARKSPUR_ALWAYS_INLINE unsigned choose_lanes(GroupSeries* lanes, std::size_t size, std::uint64_t n,
                                             const GroupSummary& summary, double* mean) noexcept {
    unsigned usable = 0;
    for (std::size_t s = 0; s < size; ++s) {
        mean[s] = summary.sum[s] / static_cast<double>(n);
        // A finite sum means no NaN and no infinity in the series; el_test
        // gives a constant series its value as mean, and checks tiny data
        // again at another scale: both are left to it.
        const double largest = std::max(-summary.low[s], summary.high[s]);
        if (std::isfinite(mean[s]) && summary.low[s] != summary.high[s] && largest >= too_small_below) {
            usable |= 1U << s;
        }
    }
    if (usable == 0) return 0;
    const auto stand_in = static_cast<std::size_t>(std::countr_zero(usable));
    for (std::size_t s = 0; s < width; ++s) {
        if ((usable >> s & 1U) == 0) {
            lanes[s] = lanes[stand_in];
            mean[s] = mean[stand_in];
        }
    }
    return usable;
}

// Summaries, the choice of lanes, then the lag sums of the chosen ones.
template <class V, std::size_t Block>
LARKSPUR_ALWAYS_INLINE unsigned group_lag_sums(GroupSeries* lanes, std::size_t size, std::uint64_t n, std::uint64_t d,
                                               double* mean, GroupSums& sums) noexcept {
    GroupSummary summary;
    group_summary<V>(lanes, n, summary);
    const unsigned usable = choose_lanes(lanes, size, n, summary, mean);
    if (usable != 0) group_sums<V, Block>(lanes, n, d, mean, sums);
    return usable;
}

}  // namespace larkspur::statistical_tests::group_kernel
