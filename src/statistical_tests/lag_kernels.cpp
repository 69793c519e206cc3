#include "src/statistical_tests/lag_kernels.hpp"

#include <algorithm>

#include "src/statistical_tests/series_element.hpp"
#include "src/statistical_tests/simd_portability.hpp"

namespace larkspur::statistical_tests {
namespace {

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

// Narrow blocks for few lags (the default d is small for short series, and
// the last block of a large d is often partial): the fewest vector rows that
// cover `count` lanes, so that no pass over the data computes a whole row of
// discarded lanes.
template <class V>
LARKSPUR_ALWAYS_INLINE void lag_block_for(const unsigned char* x, std::uint64_t n, double mean,
                                          std::uint64_t first_lag, std::size_t count, LagSums* out) noexcept {
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

// Lags per call: four rows of the variant's vector width.
constexpr std::size_t two_lane_block = 2 * 4;
constexpr std::size_t four_lane_block = 4 * 4;
constexpr std::size_t eight_lane_block = 8 * 4;

// One lag at a time, both sums in one pass: the plain loop.
void lag_sums_scalar(const unsigned char* x, std::uint64_t n, double mean, std::uint64_t first_lag,
                     std::size_t count, LagSums* out) noexcept {
    for (std::size_t b = 0; b < count; ++b) {
        out[b] = extend_lag_sums(x, n, mean, first_lag + b, 0, LagSums{-0.0, -0.0});
    }
}

// Standard C++ only: the path for every compiler and target without a
// dedicated variant, and tested everywhere.
void lag_sums_generic(const unsigned char* x, std::uint64_t n, double mean, std::uint64_t first_lag,
                      std::size_t count, LagSums* out) noexcept {
    lag_block_for<simd::PortableVector<2>>(x, n, mean, first_lag, count, out);
}

#if defined(LARKSPUR_X86_64_KERNELS)
void lag_sums_sse2(const unsigned char* x, std::uint64_t n, double mean, std::uint64_t first_lag,
                   std::size_t count, LagSums* out) noexcept {
    lag_block_for<simd::NativeVector<2>>(x, n, mean, first_lag, count, out);
}

LARKSPUR_TARGET_AVX2 void lag_sums_avx2(const unsigned char* x, std::uint64_t n, double mean,
                                        std::uint64_t first_lag, std::size_t count, LagSums* out) noexcept {
    lag_block_for<simd::NativeVector<4>>(x, n, mean, first_lag, count, out);
}

LARKSPUR_TARGET_AVX512 void lag_sums_avx512(const unsigned char* x, std::uint64_t n, double mean,
                                            std::uint64_t first_lag, std::size_t count, LagSums* out) noexcept {
    // Up to twelve lags, three rows of 256-bit vectors keep six chains in
    // flight where 512-bit vectors would keep only four (two rows), and
    // the narrower ones come out ahead (measured at d = 3 and d = 10).
    if (count <= 3 * 4) {
        lag_block_for<simd::NativeVector<4>>(x, n, mean, first_lag, count, out);
    } else {
        lag_block_for<simd::NativeVector<8>>(x, n, mean, first_lag, count, out);
    }
}

KernelVariant detect_best() noexcept {
    if (simd::cpu_has_avx512f()) return KernelVariant::Avx512;
    if (simd::cpu_has_avx2()) return KernelVariant::Avx2;
    return KernelVariant::Sse2;
}
#elif defined(LARKSPUR_AARCH64_KERNELS)
void lag_sums_neon(const unsigned char* x, std::uint64_t n, double mean, std::uint64_t first_lag,
                   std::size_t count, LagSums* out) noexcept {
    lag_block_for<simd::NativeVector<2>>(x, n, mean, first_lag, count, out);
}

KernelVariant detect_best() noexcept {
    return KernelVariant::Neon;
}
#else
KernelVariant detect_best() noexcept {
    return KernelVariant::Generic;
}
#endif

}  // namespace

KernelVariant best_kernel_variant() noexcept {
    static const KernelVariant best = detect_best();
    return best;
}

bool kernel_variant_supported(KernelVariant variant) noexcept {
    switch (variant) {
        case KernelVariant::Scalar:
        case KernelVariant::Generic:
            return true;
#if defined(LARKSPUR_X86_64_KERNELS)
        case KernelVariant::Sse2:
            return true;
        case KernelVariant::Avx2:
            return best_kernel_variant() == KernelVariant::Avx2 || best_kernel_variant() == KernelVariant::Avx512;
        case KernelVariant::Avx512:
            return best_kernel_variant() == KernelVariant::Avx512;
#elif defined(LARKSPUR_AARCH64_KERNELS)
        case KernelVariant::Neon:
            return true;
#endif
        default:
            return false;
    }
}

std::string_view kernel_variant_name(KernelVariant variant) noexcept {
    switch (variant) {
        case KernelVariant::Scalar: return "scalar";
        case KernelVariant::Generic: return "generic";
        case KernelVariant::Sse2: return "sse2";
        case KernelVariant::Avx2: return "avx2";
        case KernelVariant::Avx512: return "avx512";
        case KernelVariant::Neon: return "neon";
    }
    return "unknown";
}

std::size_t kernel_block_lags(KernelVariant variant) noexcept {
    switch (variant) {
        case KernelVariant::Scalar: return 64;
        case KernelVariant::Generic: return two_lane_block;
        case KernelVariant::Sse2: return two_lane_block;
        case KernelVariant::Avx2: return four_lane_block;
        case KernelVariant::Avx512: return eight_lane_block;
        case KernelVariant::Neon: return two_lane_block;
    }
    return 1;
}

void lag_sums(KernelVariant variant, const unsigned char* x, std::uint64_t n, double mean, std::uint64_t first_lag,
              std::size_t count, LagSums* out) noexcept {
    switch (variant) {
        case KernelVariant::Generic: lag_sums_generic(x, n, mean, first_lag, count, out); return;
#if defined(LARKSPUR_X86_64_KERNELS)
        case KernelVariant::Sse2: lag_sums_sse2(x, n, mean, first_lag, count, out); return;
        case KernelVariant::Avx2: lag_sums_avx2(x, n, mean, first_lag, count, out); return;
        case KernelVariant::Avx512: lag_sums_avx512(x, n, mean, first_lag, count, out); return;
#elif defined(LARKSPUR_AARCH64_KERNELS)
        case KernelVariant::Neon: lag_sums_neon(x, n, mean, first_lag, count, out); return;
#endif
        default:
            // The plain loop, and any variant this build does not have.
            lag_sums_scalar(x, n, mean, first_lag, count, out);
            return;
    }
}

}  // namespace larkspur::statistical_tests
