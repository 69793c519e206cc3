// FloatingPointScope: the floating-point environment the bit-exact numerics
// assume, for the lifetime of one object on the current thread.
//
// Contract:
//   * Inside the scope: IEEE round-to-nearest-even, subnormal inputs and
//     results kept (no flush-to-zero, no denormals-are-zero), every
//     exception masked. Callers may have changed any of these (fesetround,
//     or a shared library built with -Ofast that sets flush-to-zero for the
//     whole process at load time).
//   * On destruction, on every exit path, the caller's control and status
//     registers come back exactly as they were; the flags the computation
//     raised are dropped.
//   * Written only when different from what the scope needs, so a caller
//     already in the default environment pays two register reads.
//   * x86-64: MXCSR (double arithmetic runs in SSE registers; the x87
//     control word governs only long double, which the numerics never use).
//     aarch64: FPCR (rounding, FZ, the FEAT_AFP FIZ/AH/NEP bits, default
//     NaN, trap enables) and FPSR. Anything else: <cfenv> (rounding mode
//     and exception state; flush-to-zero has no portable control there).
#pragma once

#include <cstdint>

#if !((defined(__x86_64__) || defined(_M_X64)) || (defined(__aarch64__) && defined(__GNUC__)))
#include <cfenv>
#endif

namespace larkspur::numerics {

class FloatingPointScope {
public:
    FloatingPointScope() noexcept;
    ~FloatingPointScope();
    FloatingPointScope(const FloatingPointScope&) = delete;
    FloatingPointScope& operator=(const FloatingPointScope&) = delete;

private:
#if defined(__x86_64__) || defined(_M_X64)
    std::uint32_t saved_mxcsr_;
#elif defined(__aarch64__) && defined(__GNUC__)
    std::uint64_t saved_fpcr_;
    std::uint64_t saved_fpsr_;
#else
    std::fenv_t saved_;
#endif
};

}  // namespace larkspur::numerics
