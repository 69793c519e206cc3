// Thread exit by forced unwinding, let through every catch-all.
//
// glibc's pthread_exit ends a thread by unwinding its stack with a "forced
// unwind" that C++ code may observe but must not stop: a catch (...) that
// does not rethrow makes glibc abort ("FATAL: exception not rethrown"), and
// reaching a noexcept frame calls std::terminate. CPython 3.13 ends daemon
// threads that way when they wait for the interpreter lock during shutdown,
// which can happen anywhere native code calls back into Python.
//
// Contract: write LARKSPUR_RETHROW_FORCED_UNWIND as the first handler of a
// try block whose later handler is catch (...). Where the C++ runtime names
// the unwind (libstdc++: abi::__forced_unwind) it is rethrown untouched;
// elsewhere (libc++, MSVC) the macro is empty and catch (...) stays as is,
// since those runtimes' thread exit does not unwind through C++ handlers.
// Frames on the unwinding path must not be noexcept.
#pragma once

#include <cstddef>  // defines __GLIBCXX__ when the runtime is libstdc++

// The unwind is not a C++ object: libstdc++ binds the handler's reference to
// null, which UBSan's null check would report. Functions holding the
// handler carry LARKSPUR_FORCED_UNWIND_HANDLER.
#if defined(__GNUC__)
#define LARKSPUR_FORCED_UNWIND_HANDLER __attribute__((no_sanitize("undefined")))
#else
#define LARKSPUR_FORCED_UNWIND_HANDLER
#endif

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#define LARKSPUR_HAS_FORCED_UNWIND 1
#define LARKSPUR_RETHROW_FORCED_UNWIND    \
    catch (const abi::__forced_unwind&) { \
        throw;                            \
    }
#else
#define LARKSPUR_HAS_FORCED_UNWIND 0
#define LARKSPUR_RETHROW_FORCED_UNWIND
#endif
