// ProcessMutex: a mutex for native state that threads of the interpreter
// share, and ProcessLock, which holds one for a scope.
//
// It is CPython's PyMutex (3.13 and newer): one zeroed byte, nothing from the
// C++ runtime, and a thread that must wait for it detaches from the
// interpreter while it waits. That matters twice: with the interpreter lock,
// the holder may need the lock the waiter would otherwise keep; without it
// (free-threaded builds), a stop-the-world pause of the collector waits for
// every attached thread. CPython 3.12 (built only for the NumPy 1.x check)
// has no PyMutex; there the interpreter lock already serialises what this
// guards, and the lock is a no-op.
#pragma once

#include "binding/python.hpp"

namespace larkspur::binding {

class ProcessMutex {
public:
    constexpr ProcessMutex() noexcept = default;
    ProcessMutex(const ProcessMutex&) = delete;
    ProcessMutex& operator=(const ProcessMutex&) = delete;

#if PY_VERSION_HEX >= 0x030D0000
    void lock() noexcept { PyMutex_Lock(&mutex_); }
    void unlock() noexcept { PyMutex_Unlock(&mutex_); }

private:
    PyMutex mutex_{};
#else
    void lock() noexcept {}
    void unlock() noexcept {}
#endif
};

class ProcessLock {
public:
    explicit ProcessLock(ProcessMutex& mutex) noexcept : mutex_(mutex) { mutex_.lock(); }
    ~ProcessLock() { mutex_.unlock(); }
    ProcessLock(const ProcessLock&) = delete;
    ProcessLock& operator=(const ProcessLock&) = delete;

private:
    ProcessMutex& mutex_;
};

}  // namespace larkspur::binding
