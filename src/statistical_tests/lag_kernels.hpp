// Lag kernels: the two sums of the Escanciano–Lobato statistic for a block
// of consecutive lags,
//   G_j = sum_k e_k e_{k+j},   T_j = sum_k (e_k e_k)(e_{k+j} e_{k+j}),
// k = 0 .. n-j-1, e_k = x_k - mean.
//
// Contract: every G_j and T_j is the plain sequential sum from -0.0 in
// ascending k, to the bit. Speed comes only from running the chains of many
// lags side by side (vector lanes across lags, never across k), computing
// each deviation and square once per block, and reading the series through
// unaligned loads. What depends on the compiler or the instruction set lives
// in simd_portability.hpp; the kernel itself is written once. Working memory is a fixed-size stack block; nothing is
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

// Scalar is the plain loop; Generic the blocked kernel in standard C++ only
// (every build has both). Sse2 (the x86-64 baseline), Avx2 and Avx512 exist
// in GCC and Clang builds for x86-64, Neon in GCC and Clang builds for
// aarch64. All give the same bits.
enum class KernelVariant { Scalar, Generic, Sse2, Avx2, Avx512, Neon };
inline constexpr KernelVariant all_kernel_variants[] = {KernelVariant::Scalar, KernelVariant::Generic,
                                                        KernelVariant::Sse2,   KernelVariant::Avx2,
                                                        KernelVariant::Avx512, KernelVariant::Neon};

// The widest variant this build and CPU run (detected once).
[[nodiscard]] KernelVariant best_kernel_variant() noexcept;
[[nodiscard]] bool kernel_variant_supported(KernelVariant variant) noexcept;
[[nodiscard]] std::string_view kernel_variant_name(KernelVariant variant) noexcept;
// How many lags one call of the variant computes at most.
[[nodiscard]] std::size_t kernel_block_lags(KernelVariant variant) noexcept;

// Sums for lags first_lag .. first_lag + count - 1, all below n, count at
// most kernel_block_lags(variant), for a variant kernel_variant_supported
// reports (one this build lacks runs the plain loop). `x` points at n doubles, any alignment.
void lag_sums(KernelVariant variant, const unsigned char* x, std::uint64_t n, double mean, std::uint64_t first_lag,
              std::size_t count, LagSums* out) noexcept;

}  // namespace larkspur::statistical_tests
