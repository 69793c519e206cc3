// Everything in the lag kernels that depends on the compiler or the
// instruction set, and nothing else: which kernel variants this build has,
// the vector types they run on, the attributes that compile a function for
// a wider instruction set, and the run-time CPU check that picks one.
//
// Every vector type here promises the same thing: `+` and `*` work lane by
// lane and round each lane exactly like the scalar operation (the build
// disables contraction into fused multiply-add for every compiler), so a
// kernel written once over these types gives the same bits on every variant.
// The variants themselves, and the table that dispatches to them, are in
// lag_kernels.cpp; a new instruction set needs something here only when it
// needs a new kind of CPU check or vector type.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

// GCC and Clang (which also defines __GNUC__, on every target and in zig's
// and Apple's builds) share the vector extension, target attributes and
// __builtin_cpu_supports. MSVC gets the portable formulation only.
#if defined(__GNUC__)
#define LARKSPUR_GNU_VECTORS 1
#define LARKSPUR_ALWAYS_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define LARKSPUR_ALWAYS_INLINE __forceinline
#else
#define LARKSPUR_ALWAYS_INLINE inline
#endif

// x86-64: the SSE2 kernel is the baseline every x86-64 CPU runs; wider
// variants are functions compiled for their instruction set
// (LARKSPUR_TARGET("avx2")) and chosen at run time when
// LARKSPUR_X86_CPU_SUPPORTS("avx2") holds. aarch64: Advanced SIMD is part of
// the base architecture, so its kernel needs no target attribute; Linux
// still reports it, and the extensions beyond it, in the auxiliary vector.
#if defined(LARKSPUR_GNU_VECTORS) && defined(__x86_64__)
#define LARKSPUR_X86_64_KERNELS 1
#define LARKSPUR_TARGET(isa) [[gnu::target(isa)]]
// The compiler runtime also checks that the OS saves the wide registers.
#define LARKSPUR_X86_CPU_SUPPORTS(feature) (__builtin_cpu_init(), __builtin_cpu_supports(feature) != 0)
#elif defined(LARKSPUR_GNU_VECTORS) && defined(__aarch64__)
#define LARKSPUR_AARCH64_KERNELS 1
#if defined(__linux__)
#include <sys/auxv.h>
#define LARKSPUR_AARCH64_HWCAP 1
#endif
#endif

namespace larkspur::statistical_tests::simd {

// Width doubles as a plain array: the generic formulation, standard C++ for
// any compiler and target. Lane operations are written out one by one; a
// compiler is free to map them onto whatever vector unit it knows.
template <std::size_t Width>
struct PortableVector {
    double lane[Width];

    friend PortableVector operator+(const PortableVector& a, const PortableVector& b) noexcept {
        PortableVector sum;
        for (std::size_t i = 0; i < Width; ++i) {
            sum.lane[i] = a.lane[i] + b.lane[i];
        }
        return sum;
    }
    friend PortableVector operator-(const PortableVector& a, const PortableVector& b) noexcept {
        PortableVector difference;
        for (std::size_t i = 0; i < Width; ++i) {
            difference.lane[i] = a.lane[i] - b.lane[i];
        }
        return difference;
    }
    friend PortableVector operator*(const PortableVector& a, const PortableVector& b) noexcept {
        PortableVector product;
        for (std::size_t i = 0; i < Width; ++i) {
            product.lane[i] = a.lane[i] * b.lane[i];
        }
        return product;
    }
    friend PortableVector operator*(double a, const PortableVector& b) noexcept {
        PortableVector product;
        for (std::size_t i = 0; i < Width; ++i) {
            product.lane[i] = a * b.lane[i];
        }
        return product;
    }
};

#if defined(LARKSPUR_GNU_VECTORS)
// The compiler's own vector of Width doubles; `double * vector` broadcasts.
template <std::size_t Width>
using NativeVector [[gnu::vector_size(Width * sizeof(double))]] = double;
#endif

// Lane count of either kind of vector.
template <class V>
inline constexpr std::size_t lanes_of = sizeof(V) / sizeof(double);

// Loads and stores through memcpy: unaligned, defined for any address, and a
// single vector move once inlined. Written through references rather than
// returned, so that no vector value crosses a function boundary (the calling
// convention for wide vectors differs between instruction sets).
template <class V>
LARKSPUR_ALWAYS_INLINE void load(V& value, const double* from) noexcept {
    std::memcpy(&value, from, sizeof value);
}

template <class V>
LARKSPUR_ALWAYS_INLINE void store(double* to, const V& value) noexcept {
    std::memcpy(to, &value, sizeof value);
}

template <class V>
LARKSPUR_ALWAYS_INLINE void fill(V& value, double lane_value) noexcept {
    double lanes[lanes_of<V>];
    for (double& lane : lanes) {
        lane = lane_value;
    }
    load(value, lanes);
}

// Lane-wise running extreme: each lane of `into` takes the lane of `value`
// where `before(value, into)` holds (std::less: a running minimum,
// std::greater: a maximum), and keeps its own otherwise, NaN included:
// callers treat such lanes apart.
template <class V, class Before>
LARKSPUR_ALWAYS_INLINE void keep_extreme(V& into, const V& value, Before before) noexcept {
    double x[lanes_of<V>];
    double y[lanes_of<V>];
    store(x, into);
    store(y, value);
    for (std::size_t i = 0; i < lanes_of<V>; ++i) x[i] = before(y[i], x[i]) ? y[i] : x[i];
    load(into, x);
}

#if defined(LARKSPUR_AARCH64_KERNELS)
// Whether the kernel reports every bit of `hwcap_bits` (HWCAP_ASIMD,
// HWCAP_SVE, ...) in AT_HWCAP. Where the platform has no such query (macOS,
// Windows) only the base architecture is assumed: `base_architecture` says
// whether the feature is part of it.
#if defined(LARKSPUR_AARCH64_HWCAP)
#define LARKSPUR_AARCH64_CPU_SUPPORTS(hwcap_bits, base_architecture) \
    ((getauxval(AT_HWCAP) & (hwcap_bits)) == (hwcap_bits))
#else
#define LARKSPUR_AARCH64_CPU_SUPPORTS(hwcap_bits, base_architecture) (base_architecture)
#endif
#endif

// The value of an environment variable, empty when unset. MSVC's runtime
// deprecates std::getenv in favour of _dupenv_s.
[[nodiscard]] inline std::string environment_variable(const char* name) {
#if defined(_MSC_VER)
    char* value = nullptr;
    std::size_t size = 0;
    if (_dupenv_s(&value, &size, name) != 0 || value == nullptr) return {};
    std::string text(value);
    std::free(value);
    return text;
#else
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
#endif
}

}  // namespace larkspur::statistical_tests::simd
