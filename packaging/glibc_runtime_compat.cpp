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
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

extern "C" {

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

}  // extern "C"
