// Linked into the Linux wheel's module only (see CMakeLists.txt), beside the
// statically linked C++ runtime.
//
// libstdc++.a was compiled against the build machine's glibc, and the linker
// binds its references to the newest version of each glibc function: on a
// current distribution the pthread key and rwlock functions at GLIBC_2.34 (the
// release that merged libpthread into libc), and two names older glibcs lack
// altogether. The definitions below take those references inside the module
// (hidden, never exported, so nothing else in the process sees them) and
// forward each to the version that every glibc of the architecture exports:
// the same code on glibc >= 2.34, libpthread's on older ones (the module
// lists libpthread.so.0 as a dependency for that). What is linked in from
// libstdc++.a depends on the toolchain; auditwheel's repair for
// manylinux_2_28 refuses the wheel if a newer reference is left.
#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#if defined(__x86_64__)
#define LARKSPUR_GLIBC_BASELINE "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define LARKSPUR_GLIBC_BASELINE "GLIBC_2.17"
#else
#error "baseline glibc symbol version unknown for this architecture"
#endif

// Declares larkspur_baseline_NAME, bound to NAME at the baseline version
// (any attributes follow the parameter list).
#define LARKSPUR_BASELINE(ret, name, params, ...)                     \
    extern "C" ret larkspur_baseline_##name params noexcept __VA_ARGS__; \
    __asm__(".symver larkspur_baseline_" #name "," #name "@" LARKSPUR_GLIBC_BASELINE)

LARKSPUR_BASELINE(int, pthread_key_create, (pthread_key_t*, void (*)(void*)));
LARKSPUR_BASELINE(int, pthread_key_delete, (pthread_key_t));
LARKSPUR_BASELINE(void*, pthread_getspecific, (pthread_key_t));
// Declared like <pthread.h> does: the value is stored, never read through.
LARKSPUR_BASELINE(int, pthread_setspecific, (pthread_key_t, const void*), __attr_access_none(2));
LARKSPUR_BASELINE(int, pthread_rwlock_rdlock, (pthread_rwlock_t*));
LARKSPUR_BASELINE(int, pthread_rwlock_wrlock, (pthread_rwlock_t*));
LARKSPUR_BASELINE(int, pthread_rwlock_unlock, (pthread_rwlock_t*));
// std::thread, for the batch module's workers.
LARKSPUR_BASELINE(int, pthread_create, (pthread_t*, const pthread_attr_t*, void* (*)(void*), void*));
LARKSPUR_BASELINE(int, pthread_join, (pthread_t, void**));
LARKSPUR_BASELINE(int, pthread_detach, (pthread_t));
LARKSPUR_BASELINE(int, pthread_once, (pthread_once_t*, void (*)()));

extern "C" {

int pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) noexcept {
    return larkspur_baseline_pthread_key_create(key, destructor);
}
int pthread_key_delete(pthread_key_t key) noexcept { return larkspur_baseline_pthread_key_delete(key); }
void* pthread_getspecific(pthread_key_t key) noexcept { return larkspur_baseline_pthread_getspecific(key); }
int pthread_setspecific(pthread_key_t key, const void* value) noexcept {
    return larkspur_baseline_pthread_setspecific(key, value);
}
int pthread_rwlock_rdlock(pthread_rwlock_t* lock) noexcept { return larkspur_baseline_pthread_rwlock_rdlock(lock); }
int pthread_rwlock_wrlock(pthread_rwlock_t* lock) noexcept { return larkspur_baseline_pthread_rwlock_wrlock(lock); }
int pthread_rwlock_unlock(pthread_rwlock_t* lock) noexcept { return larkspur_baseline_pthread_rwlock_unlock(lock); }
int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument) noexcept {
    return larkspur_baseline_pthread_create(thread, attributes, start, argument);
}
int pthread_join(pthread_t thread, void** value) { return larkspur_baseline_pthread_join(thread, value); }
int pthread_detach(pthread_t thread) noexcept { return larkspur_baseline_pthread_detach(thread); }
int pthread_once(pthread_once_t* control, void (*routine)()) { return larkspur_baseline_pthread_once(control, routine); }

// glibc 2.32 tells whether the process has only ever had one thread, letting
// libstdc++ skip atomic operations. Here it always says "maybe not": the
// runtime inside the module takes the atomic path, which is correct with any
// number of threads.
char __libc_single_threaded = 0;

// glibc 2.36 added arc4random; std::random_device's object file calls it (the
// module never constructs one). The kernel's entropy, via getentropy (glibc
// 2.25), and like glibc's own an abort when none can be had.
std::uint32_t arc4random() noexcept {
    std::uint32_t value = 0;
    if (getentropy(&value, sizeof value) != 0) {
        std::abort();
    }
    return value;
}

}  // extern "C"
