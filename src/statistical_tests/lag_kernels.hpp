// Lag kernels: the two sums of the Escanciano–Lobato statistic for a block
// of consecutive lags,
//   G_j = sum_k e_k e_{k+j},   T_j = sum_k (e_k e_k)(e_{k+j} e_{k+j}),
// k = 0 .. n-j-1, e_k = x_k - mean.
//
// Contract: every G_j and T_j is the plain sequential sum from -0.0 in
// ascending k, to the bit. Speed comes only from running the chains of many
// lags side by side (vector lanes across lags, never across k), computing
// each deviation and square once per block, and reading the series through
// unaligned loads. Working memory is a fixed-size stack block; nothing is
// allocated and the series is never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace larkspur::statistical_tests {

struct LagSums {
    double g;
    double t;
};

enum class KernelVariant { Scalar, Baseline, Avx2, Avx512 };

// The widest variant this CPU runs (detected once).
[[nodiscard]] KernelVariant best_kernel_variant() noexcept;
[[nodiscard]] bool kernel_variant_supported(KernelVariant variant) noexcept;
[[nodiscard]] std::string_view kernel_variant_name(KernelVariant variant) noexcept;
// How many lags one call of the variant computes at most.
[[nodiscard]] std::size_t kernel_block_lags(KernelVariant variant) noexcept;

// Sums for lags first_lag .. first_lag + count - 1, all below n, count at
// most kernel_block_lags(variant). `x` points at n doubles, any alignment.
void lag_sums(KernelVariant variant, const unsigned char* x, std::uint64_t n, double mean, std::uint64_t first_lag,
              std::size_t count, LagSums* out) noexcept;

}  // namespace larkspur::statistical_tests
