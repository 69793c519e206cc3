// Linked into the Linux wheel's module only (LARKSPUR_MANYLINUX_COMPAT, see
// CMakeLists.txt), beside the statically linked C++ runtime; source builds
// never compile it.
//
// libstdc++.a was compiled against the build machine's glibc, and the objects
// every C++ program links (exception classes, copy-on-write strings, guards
// of function-local statics) reference two names that glibc 2.28 lacks: a
// linker map of the module shows guard.o, stdexcept.o, cow-stdexcept.o and
// cow-string-inst.o reading __libc_single_threaded (glibc 2.32), and
// cow-string-inst.o pulling in random.o, which calls arc4random (glibc 2.36).
// Defined here, hidden (never exported, so nothing else in the process sees
// them), those references stay inside the module. A manylinux image's
// toolchain needs neither. What libstdc++.a pulls in depends on the
// toolchain; auditwheel's repair for manylinux_2_28 refuses the wheel if a
// newer reference is left.
//
// A libstdc++.a built against glibc 2.38 or newer in C23 mode (GCC 16 on
// Debian sid, which builds the cp314 wheel here) reads its environment
// settings (eh_alloc.o's GLIBCXX_TUNABLES, debug.o) with strtoul, which
// those headers name __isoc23_strtoul (glibc 2.38): C23's strtoul, which
// also reads a 0b binary prefix. Defined below over the baseline strtoul.
//
// The batch module's worker threads (std::thread) also call pthread_create,
// pthread_join, pthread_detach and pthread_once, which glibc 2.34 moved into
// libc under new symbol versions; forwarders bound to the baseline versions
// keep those references at what every glibc of the architecture exports.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

#if defined(__x86_64__)
#define LARKSPUR_GLIBC_BASELINE "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define LARKSPUR_GLIBC_BASELINE "GLIBC_2.17"
#else
#error "baseline glibc symbol version unknown for this architecture"
#endif

// Declares larkspur_baseline_NAME, bound to NAME at the baseline version.
#define LARKSPUR_BASELINE(ret, name, params)                 \
    extern "C" ret larkspur_baseline_##name params noexcept; \
    __asm__(".symver larkspur_baseline_" #name "," #name "@" LARKSPUR_GLIBC_BASELINE)

LARKSPUR_BASELINE(int, pthread_create, (pthread_t*, const pthread_attr_t*, void* (*)(void*), void*));
LARKSPUR_BASELINE(int, pthread_join, (pthread_t, void**));
LARKSPUR_BASELINE(int, pthread_detach, (pthread_t));
LARKSPUR_BASELINE(int, pthread_once, (pthread_once_t*, void (*)()));
LARKSPUR_BASELINE(unsigned long, strtoul, (const char*, char**, int));

extern "C" {

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                   void* argument) noexcept {
    return larkspur_baseline_pthread_create(thread, attributes, start, argument);
}
int pthread_join(pthread_t thread, void** value) { return larkspur_baseline_pthread_join(thread, value); }
int pthread_detach(pthread_t thread) noexcept { return larkspur_baseline_pthread_detach(thread); }
int pthread_once(pthread_once_t* control, void (*routine)()) {
    return larkspur_baseline_pthread_once(control, routine);
}

// glibc 2.32 tells whether the process has only ever had one thread, letting
// libstdc++ skip atomic operations. Here it always says "maybe not": the
// runtime inside the module takes the atomic path, which is correct with any
// number of threads.
char __libc_single_threaded = 0;

// std::random_device's object file calls arc4random (the module never
// constructs one). The kernel's entropy, via getentropy (glibc 2.25), and like
// glibc's own an abort when none can be had.
std::uint32_t arc4random() noexcept {
    std::uint32_t value = 0;
    if (getentropy(&value, sizeof value) != 0) {
        std::abort();
    }
    return value;
}

#if __GLIBC_PREREQ(2, 38)
// C23's strtoul: with base 0 or 2, "0b" or "0B" followed by a binary digit
// starts a binary number (after optional white space and sign); anything
// else is the older function's business. Overflow gives ULONG_MAX and ERANGE
// whatever the sign, as there.
unsigned long __isoc23_strtoul(const char* text, char** end, int base) noexcept {
    if (base == 0 || base == 2) {
        const char* start = text;
        while (*start == ' ' || (*start >= '\t' && *start <= '\r')) ++start;
        const bool negative = *start == '-';
        const char* digits = start + ((*start == '+' || negative) ? 1 : 0);
        if (digits[0] == '0' && (digits[1] == 'b' || digits[1] == 'B') && (digits[2] == '0' || digits[2] == '1')) {
            const int saved = errno;
            errno = 0;
            unsigned long value = larkspur_baseline_strtoul(digits + 2, end, 2);
            if (errno == ERANGE) return ULONG_MAX;
            errno = saved;
            return negative ? 0UL - value : value;
        }
    }
    return larkspur_baseline_strtoul(text, end, base);
}
#endif

}  // extern "C"
