// The single place that includes the CPython headers, so that
// PY_SSIZE_T_CLEAN is always defined first.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace larkspur::binding {

// The calling thread's current thread state, or null when it has none (it
// does not hold the interpreter lock); never a fatal error. Public from
// CPython 3.13 on; the NumPy 1.x check builds for 3.12.
inline PyThreadState* current_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

}  // namespace larkspur::binding
