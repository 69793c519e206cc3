// The kernel table: every instruction-set variant of the lag kernels this
// build has, one record each, and the choice of the one that runs.
//
// The kernels compute the two sums of the Escanciano–Lobato statistic for a
// block of consecutive lags,
//   G_j = sum_k e_k e_{k+j},   T_j = sum_k (e_k e_k)(e_{k+j} e_{k+j}),
// k = 0 .. n-j-1, e_k = x_k - mean: of one series (lag_sums, for el_test),
// or of up to eight series side by side (group_lag_sums, for
// group_fast_lanes).
//
// Contract: every G_j and T_j is the plain sequential sum from -0.0 in
// ascending k, to the bit, on every variant. Speed comes only from running
// independent chains side by side (vector lanes across lags or across
// series, never across k). Working memory is a fixed-size stack block;
// nothing is allocated and no series is copied.
//
// Adding a variant: its two kernel functions and its record, together in
// lag_kernels.cpp; nothing else. Its name becomes valid in the environment
// variables below, the differential tests and the benchmark run it, and the
// choice below considers it (the table is ordered narrowest first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace larkspur::statistical_tests {

struct LagSums {
    double g;
    double t;
};

struct GroupSeries;  // series_group.hpp
struct GroupSums;    // group_block.hpp

// Sums for lags first_lag .. first_lag + count - 1, all below n, count at
// most the record's block_lags. `x` points at n doubles, any alignment.
using LagSumsKernel = void (*)(const unsigned char* x, std::uint64_t n, double mean, std::uint64_t first_lag,
                               std::size_t count, LagSums* out) noexcept;
// Summaries and lag sums 1 .. d of group_width lanes (the first `size` are
// the group's; see group_block.hpp); returns the mask of usable lanes.
using GroupLagSumsKernel = unsigned (*)(GroupSeries* lanes, std::size_t size, std::uint64_t n, std::uint64_t d,
                                        double* mean, GroupSums& sums) noexcept;

struct KernelVariant {
    std::string_view name;
    bool (*cpu_supports)() noexcept;  // whether this CPU and OS run it
    std::size_t block_lags;           // lags per lag_sums call at most
    LagSumsKernel lag_sums;
    GroupLagSumsKernel group_lag_sums;
};

// Every variant this build compiled, narrowest first: "scalar" (the plain
// loop) and "generic" (standard C++ only) everywhere; "sse2", "avx2",
// "avx512" in GCC and Clang builds for x86-64; "neon" in GCC and Clang
// builds for aarch64.
[[nodiscard]] std::span<const KernelVariant> kernel_variants() noexcept;
[[nodiscard]] const KernelVariant* find_kernel_variant(std::string_view name) noexcept;

// Environment variables, read once per process at the first choice:
//   LARKSPUR_KERNEL=name             run this variant;
//   LARKSPUR_DISABLE_KERNELS=a,b     never choose these.
// Without them the choice is the widest variant the CPU supports. A name
// that is not a variant of this build, a forced variant the CPU does not
// support or that is also disabled, and a mask leaving nothing the CPU
// supports are errors: `error` holds the text, and both modules refuse to
// import with it (the core has no error channel of its own for this).
inline constexpr char kernel_environment_variable[] = "LARKSPUR_KERNEL";
inline constexpr char disabled_kernels_environment_variable[] = "LARKSPUR_DISABLE_KERNELS";

struct KernelSelection {
    const KernelVariant* running;  // on error: the widest the CPU supports
    std::string error;             // empty when the environment is valid
};
[[nodiscard]] const KernelSelection& kernel_selection();
// The choice from an environment given as its two values (empty = unset).
[[nodiscard]] KernelSelection select_kernel(std::string_view forced, std::string_view disabled);

// The running variant: the default of el_test and group_fast_lanes.
[[nodiscard]] const KernelVariant& active_kernel() noexcept;

}  // namespace larkspur::statistical_tests
