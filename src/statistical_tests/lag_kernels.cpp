// The kernel variants of this build: for each, the per-series kernel and
// the side-by-side kernel compiled for its instruction set, and its record
// in the table. The kernels are written once (lag_block.hpp,
// group_block.hpp); a variant only picks the vector type, the number of
// lags per block and the target. Adding one: two functions and a record
// here, checked bit for bit by the differential tests.
#include "src/statistical_tests/lag_kernels.hpp"

#include "src/statistical_tests/group_block.hpp"
#include "src/statistical_tests/lag_block.hpp"
#include "src/statistical_tests/simd_portability.hpp"

namespace larkspur::statistical_tests {
namespace {

using group_kernel::group_lag_sums;
using lag_kernel::block_lags;
using lag_kernel::lag_block_for;

#define LARKSPUR_LAG_SUMS_PARAMETERS \
    const unsigned char *x, std::uint64_t n, double mean, std::uint64_t first_lag, std::size_t count, LagSums *out
#define LARKSPUR_LAG_SUMS_ARGUMENTS x, n, mean, first_lag, count, out
#define LARKSPUR_GROUP_PARAMETERS \
    GroupSeries *lanes, std::size_t size, std::uint64_t n, std::uint64_t d, double *mean, GroupSums &sums
#define LARKSPUR_GROUP_ARGUMENTS lanes, size, n, d, mean, sums

bool every_cpu() noexcept { return true; }

// scalar: one lag, one series at a time.
void scalar_lag_sums(LARKSPUR_LAG_SUMS_PARAMETERS) noexcept { lag_kernel::plain_lag_sums(LARKSPUR_LAG_SUMS_ARGUMENTS); }
unsigned scalar_group(LARKSPUR_GROUP_PARAMETERS) noexcept {
    return group_lag_sums<simd::PortableVector<1>, 1>(LARKSPUR_GROUP_ARGUMENTS);
}

// generic: standard C++ only, the path for every compiler and target
// without a dedicated variant, and tested everywhere.
void generic_lag_sums(LARKSPUR_LAG_SUMS_PARAMETERS) noexcept {
    lag_block_for<simd::PortableVector<2>>(LARKSPUR_LAG_SUMS_ARGUMENTS);
}
unsigned generic_group(LARKSPUR_GROUP_PARAMETERS) noexcept {
    return group_lag_sums<simd::PortableVector<2>, 1>(LARKSPUR_GROUP_ARGUMENTS);
}

#if defined(LARKSPUR_X86_64_KERNELS)
// sse2: the x86-64 baseline.
void sse2_lag_sums(LARKSPUR_LAG_SUMS_PARAMETERS) noexcept {
    lag_block_for<simd::NativeVector<2>>(LARKSPUR_LAG_SUMS_ARGUMENTS);
}
unsigned sse2_group(LARKSPUR_GROUP_PARAMETERS) noexcept {
    return group_lag_sums<simd::NativeVector<2>, 1>(LARKSPUR_GROUP_ARGUMENTS);
}

// avx2: side by side, two 4-lane vectors per lag: three lags keep twelve
// chains in sixteen registers.
bool avx2_cpu() noexcept { return LARKSPUR_X86_CPU_SUPPORTS("avx2"); }
LARKSPUR_TARGET("avx2") void avx2_lag_sums(LARKSPUR_LAG_SUMS_PARAMETERS) noexcept {
    lag_block_for<simd::NativeVector<4>>(LARKSPUR_LAG_SUMS_ARGUMENTS);
}
LARKSPUR_TARGET("avx2") unsigned avx2_group(LARKSPUR_GROUP_PARAMETERS) noexcept {
    return group_lag_sums<simd::NativeVector<4>, 3>(LARKSPUR_GROUP_ARGUMENTS);
}

// avx512: up to twelve lags of one series, three rows of 256-bit vectors
// keep six chains in flight where 512-bit vectors would keep only four (two
// rows), and the narrower ones come out ahead (measured at d = 3 and 10).
bool avx512_cpu() noexcept { return LARKSPUR_X86_CPU_SUPPORTS("avx512f"); }
LARKSPUR_TARGET("avx512f") void avx512_lag_sums(LARKSPUR_LAG_SUMS_PARAMETERS) noexcept {
    if (count <= 3 * 4) {
        lag_block_for<simd::NativeVector<4>>(LARKSPUR_LAG_SUMS_ARGUMENTS);
    } else {
        lag_block_for<simd::NativeVector<8>>(LARKSPUR_LAG_SUMS_ARGUMENTS);
    }
}
LARKSPUR_TARGET("avx512f") unsigned avx512_group(LARKSPUR_GROUP_PARAMETERS) noexcept {
    return group_lag_sums<simd::NativeVector<8>, 6>(LARKSPUR_GROUP_ARGUMENTS);
}
#elif defined(LARKSPUR_AARCH64_KERNELS)
// neon: Advanced SIMD, part of the base architecture.
bool neon_cpu() noexcept { return LARKSPUR_AARCH64_CPU_SUPPORTS(HWCAP_ASIMD, true); }
void neon_lag_sums(LARKSPUR_LAG_SUMS_PARAMETERS) noexcept {
    lag_block_for<simd::NativeVector<2>>(LARKSPUR_LAG_SUMS_ARGUMENTS);
}
unsigned neon_group(LARKSPUR_GROUP_PARAMETERS) noexcept {
    return group_lag_sums<simd::NativeVector<2>, 2>(LARKSPUR_GROUP_ARGUMENTS);
}
#endif

#undef LARKSPUR_LAG_SUMS_PARAMETERS
#undef LARKSPUR_LAG_SUMS_ARGUMENTS
#undef LARKSPUR_GROUP_PARAMETERS
#undef LARKSPUR_GROUP_ARGUMENTS

// Narrowest first: the default is the last entry the CPU supports. Lags
// per lag_sums call: what lag_block_for covers with the widest vector the
// variant uses; the plain loop takes el_test's largest block.
constexpr KernelVariant table[] = {
    {"scalar", every_cpu, 64, scalar_lag_sums, scalar_group},
    {"generic", every_cpu, block_lags<simd::PortableVector<2>>, generic_lag_sums, generic_group},
#if defined(LARKSPUR_X86_64_KERNELS)
    {"sse2", every_cpu, block_lags<simd::NativeVector<2>>, sse2_lag_sums, sse2_group},
    {"avx2", avx2_cpu, block_lags<simd::NativeVector<4>>, avx2_lag_sums, avx2_group},
    {"avx512", avx512_cpu, block_lags<simd::NativeVector<8>>, avx512_lag_sums, avx512_group},
#elif defined(LARKSPUR_AARCH64_KERNELS)
    {"neon", neon_cpu, block_lags<simd::NativeVector<2>>, neon_lag_sums, neon_group},
#endif
};

}  // namespace

std::span<const KernelVariant> kernel_variants() noexcept { return table; }

}  // namespace larkspur::statistical_tests
