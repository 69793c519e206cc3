#include "src/statistical_tests/lag_kernels.hpp"

#include <algorithm>
#include <cstring>

#include "src/statistical_tests/series_element.hpp"

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

// Vectors of doubles in GCC's generic vector extension. Lane l of every
// vector belongs to one lag; element-wise + and * round each lane on its
// own, exactly like the scalar operations (no contraction: -ffp-contract=off).
template <std::size_t Width>
using DoubleVector [[gnu::vector_size(Width * sizeof(double))]] = double;

// Written through a reference rather than returned: a vector return value
// would tie the helper to one ABI, and it is always inlined anyway.
template <class V>
[[gnu::always_inline]] inline void load_vector(V& value, const double* from) noexcept {
    std::memcpy(&value, from, sizeof value);  // an unaligned vector load
}

// One block of up to Width * Rows lags: Rows vectors of Width lanes each
// hold independent G and T chains, so 2 * Rows additions are in flight and
// the latency of one chain hides behind the others. Within a lane the
// additions stay in ascending k.
template <std::size_t Width, std::size_t Rows>
[[gnu::always_inline]] inline void lag_block(const unsigned char* x, std::uint64_t n, double mean,
                                             std::uint64_t first_lag, std::size_t count, LagSums* out) noexcept {
    using V = DoubleVector<Width>;
    constexpr std::size_t lanes = Width * Rows;
    V g[Rows];
    V t[Rows];
    for (std::size_t r = 0; r < Rows; ++r) {
        g[r] = -V{};  // -0.0 in every lane
        t[r] = -V{};
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
                load_vector(w, lagged + i + r * Width);
                load_vector(w_sq, lagged_sq + i + r * Width);
                g[r] = g[r] + a * w;
                t[r] = t[r] + a_sq * w_sq;
            }
        }
    }
    double g_lanes[lanes];
    double t_lanes[lanes];
    std::memcpy(g_lanes, g, sizeof g);
    std::memcpy(t_lanes, t, sizeof t);
    // Each lag has n - j pairs: the smaller lags of the block continue past
    // the common range, still in ascending k.
    for (std::size_t b = 0; b < count; ++b) {
        out[b] = extend_lag_sums(x, n, mean, first_lag + b, common, LagSums{g_lanes[b], t_lanes[b]});
    }
}

// Narrow blocks for few lags (the default d is small for short series):
// the fewest vector rows that cover `count` lanes.
template <std::size_t Width>
[[gnu::always_inline]] inline void lag_block_for(const unsigned char* x, std::uint64_t n, double mean,
                                                 std::uint64_t first_lag, std::size_t count, LagSums* out) noexcept {
    if (count <= Width) {
        lag_block<Width, 1>(x, n, mean, first_lag, count, out);
    } else if (count <= 2 * Width) {
        lag_block<Width, 2>(x, n, mean, first_lag, count, out);
    } else {
        lag_block<Width, 4>(x, n, mean, first_lag, count, out);
    }
}

constexpr std::size_t baseline_lanes = 2 * 4;
constexpr std::size_t avx2_lanes = 4 * 4;
constexpr std::size_t avx512_lanes = 8 * 4;

// One lag at a time, both sums in one pass: the plain loop.
void lag_sums_scalar(const unsigned char* x, std::uint64_t n, double mean, std::uint64_t first_lag,
                     std::size_t count, LagSums* out) noexcept {
    for (std::size_t b = 0; b < count; ++b) {
        out[b] = extend_lag_sums(x, n, mean, first_lag + b, 0, LagSums{-0.0, -0.0});
    }
}

void lag_sums_baseline(const unsigned char* x, std::uint64_t n, double mean, std::uint64_t first_lag,
                       std::size_t count, LagSums* out) noexcept {
    lag_block_for<2>(x, n, mean, first_lag, count, out);
}

[[gnu::target("avx2")]] void lag_sums_avx2(const unsigned char* x, std::uint64_t n, double mean,
                                            std::uint64_t first_lag, std::size_t count, LagSums* out) noexcept {
    lag_block_for<4>(x, n, mean, first_lag, count, out);
}

[[gnu::target("avx512f")]] void lag_sums_avx512(const unsigned char* x, std::uint64_t n, double mean,
                                                 std::uint64_t first_lag, std::size_t count, LagSums* out) noexcept {
    // A few lags fill 256-bit vectors as well as 512-bit ones, and the
    // narrower ones come out ahead on short series (measured).
    if (count <= 8) {
        lag_block_for<4>(x, n, mean, first_lag, count, out);
    } else {
        lag_block_for<8>(x, n, mean, first_lag, count, out);
    }
}

KernelVariant detect_best() noexcept {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return KernelVariant::Avx512;
    if (__builtin_cpu_supports("avx2")) return KernelVariant::Avx2;
    return KernelVariant::Baseline;
}

}  // namespace

KernelVariant best_kernel_variant() noexcept {
    static const KernelVariant best = detect_best();
    return best;
}

bool kernel_variant_supported(KernelVariant variant) noexcept {
    switch (variant) {
        case KernelVariant::Scalar:
        case KernelVariant::Baseline:
            return true;
        case KernelVariant::Avx2:
            return best_kernel_variant() == KernelVariant::Avx2 || best_kernel_variant() == KernelVariant::Avx512;
        case KernelVariant::Avx512:
            return best_kernel_variant() == KernelVariant::Avx512;
    }
    return false;
}

std::string_view kernel_variant_name(KernelVariant variant) noexcept {
    switch (variant) {
        case KernelVariant::Scalar: return "scalar";
        case KernelVariant::Baseline: return "baseline";
        case KernelVariant::Avx2: return "avx2";
        case KernelVariant::Avx512: return "avx512";
    }
    return "unknown";
}

std::size_t kernel_block_lags(KernelVariant variant) noexcept {
    switch (variant) {
        case KernelVariant::Scalar: return 64;
        case KernelVariant::Baseline: return baseline_lanes;
        case KernelVariant::Avx2: return avx2_lanes;
        case KernelVariant::Avx512: return avx512_lanes;
    }
    return 1;
}

void lag_sums(KernelVariant variant, const unsigned char* x, std::uint64_t n, double mean, std::uint64_t first_lag,
              std::size_t count, LagSums* out) noexcept {
    switch (variant) {
        case KernelVariant::Scalar: lag_sums_scalar(x, n, mean, first_lag, count, out); return;
        case KernelVariant::Baseline: lag_sums_baseline(x, n, mean, first_lag, count, out); return;
        case KernelVariant::Avx2: lag_sums_avx2(x, n, mean, first_lag, count, out); return;
        case KernelVariant::Avx512: lag_sums_avx512(x, n, mean, first_lag, count, out); return;
    }
}

}  // namespace larkspur::statistical_tests
