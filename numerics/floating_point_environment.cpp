#include "numerics/floating_point_environment.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace larkspur::numerics {

#if defined(__x86_64__) || defined(_M_X64)

namespace {
// MXCSR: flags 0-5, DAZ 6, exception masks 7-12, rounding 13-14, FTZ 15.
constexpr std::uint32_t mxcsr_flags = 0x003F;
constexpr std::uint32_t mxcsr_default_control = 0x1F80;  // all masked, nearest, no FTZ/DAZ
}  // namespace

FloatingPointScope::FloatingPointScope() noexcept : saved_mxcsr_(_mm_getcsr()) {
    if ((saved_mxcsr_ & ~mxcsr_flags) != mxcsr_default_control) {
        _mm_setcsr(mxcsr_default_control | (saved_mxcsr_ & mxcsr_flags));
    }
}

FloatingPointScope::~FloatingPointScope() {
    if (_mm_getcsr() != saved_mxcsr_) {
        _mm_setcsr(saved_mxcsr_);
    }
}

#elif defined(__aarch64__) && defined(__GNUC__)

namespace {
// FPCR: FIZ 0, AH 1, NEP 2 (FEAT_AFP), trap enables 8-12 and 15, FZ16 19,
// rounding 22-23, FZ 24, DN 25. Cleared bits give nearest-even, subnormals
// kept, IEEE NaN propagation and no traps; AHP (26) and the rest are left
// alone because no double operation reads them.
constexpr std::uint64_t fpcr_cleared =
    (0x7ULL << 0) | (0x1FULL << 8) | (1ULL << 15) | (1ULL << 19) | (0x3ULL << 22) | (1ULL << 24) | (1ULL << 25);

std::uint64_t read_fpcr() noexcept {
    std::uint64_t value;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(value));
    return value;
}
void write_fpcr(std::uint64_t value) noexcept { __asm__ __volatile__("msr fpcr, %0" : : "r"(value) : "memory"); }
std::uint64_t read_fpsr() noexcept {
    std::uint64_t value;
    __asm__ __volatile__("mrs %0, fpsr" : "=r"(value));
    return value;
}
void write_fpsr(std::uint64_t value) noexcept { __asm__ __volatile__("msr fpsr, %0" : : "r"(value) : "memory"); }
}  // namespace

FloatingPointScope::FloatingPointScope() noexcept : saved_fpcr_(read_fpcr()), saved_fpsr_(read_fpsr()) {
    if ((saved_fpcr_ & fpcr_cleared) != 0) {
        write_fpcr(saved_fpcr_ & ~fpcr_cleared);
    }
}

FloatingPointScope::~FloatingPointScope() {
    if (read_fpcr() != saved_fpcr_) {
        write_fpcr(saved_fpcr_);
    }
    if (read_fpsr() != saved_fpsr_) {
        write_fpsr(saved_fpsr_);
    }
}

#else

FloatingPointScope::FloatingPointScope() noexcept {
    std::feholdexcept(&saved_);  // saves the environment, clears flags, masks traps
    if (std::fegetround() != FE_TONEAREST) {
        std::fesetround(FE_TONEAREST);
    }
}

FloatingPointScope::~FloatingPointScope() { std::fesetenv(&saved_); }

#endif

}  // namespace larkspur::numerics
