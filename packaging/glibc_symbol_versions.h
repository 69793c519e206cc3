// Force-included into every translation unit of a Linux wheel build (see
// CMakeLists.txt): binds libm's exp, log and pow to the symbol versions that
// every glibc of the architecture exports, so that a module built against a
// recent glibc still loads on glibc 2.28 (manylinux_2_28) and older.
//
// glibc 2.29 gave exp, log and pow new default versions (GLIBC_2.29) when it
// dropped their SVID error-handling wrappers. The old versions remain in
// every later libm as compatibility entry points around the same
// implementation (__ieee754_exp is __exp, and so on): they differ only on
// domain and range errors, in how errno is set and, for log of a negative
// number or pow of a negative base to a non-integer, in which NaN comes back.
// The numerics here never pass log a negative argument nor pow a negative
// base, so every returned bit is the same through either version; the test
// suite checks the results against the interpreter's own math module, which
// binds the new versions. The other libm functions used here (sin, sqrt)
// have only their original versions and need nothing.
#pragma once

#if defined(__linux__) && defined(__has_include)
#if __has_include(<features.h>)
#include <features.h>
#endif
#endif

#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver exp,exp@GLIBC_2.2.5");
__asm__(".symver log,log@GLIBC_2.2.5");
__asm__(".symver pow,pow@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver exp,exp@GLIBC_2.17");
__asm__(".symver log,log@GLIBC_2.17");
__asm__(".symver pow,pow@GLIBC_2.17");
#endif
