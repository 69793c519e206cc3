// Interpreter guard and lock bookkeeping.
//
// Contract:
//   * One interpreter per process: the first interpreter to initialise a
//     module claims it (compare-and-swap of its id); any other interpreter
//     gets ImportError. The module object is created once and reused.
//   * Each thread keeps a lock depth: how many call boundaries and explicit
//     acquisitions on it rely on holding the interpreter lock. Positive: the
//     lock is held. Negative: the interpreter must not be touched (entering a
//     boundary or acquiring then is an internal fault).
//   * On a free-threaded build every module made here declares that it does
//     not need the interpreter lock; "holding the lock" there means having
//     an attached thread state, and the same bookkeeping applies.
//   * The lock is released in exactly one place: run_without_lock (the wait
//     for the once-only instantiation of an error, a batch of series).
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "base/forced_unwind.hpp"
#include "binding/once_cell.hpp"
#include "binding/pending_error.hpp"
#include "binding/refs.hpp"

namespace larkspur::binding {

struct ModuleRecord {
    PyModuleDef* definition;
    std::atomic<std::int64_t> interpreter_id{-1};
    OnceCell<OwnedRef> module{};
};

using ModuleInitializer = Status (*)(BorrowedRef module);

inline constexpr int module_api_version = 1013;
inline constexpr char subinterpreter_message[] =
    "this module does not support subinterpreters: only one interpreter per process may import it";

// New reference to the record's module, creating and initialising it on the
// first successful call; ImportError from a second interpreter.
[[nodiscard]] Result<OwnedRef> make_module(ModuleRecord& record, ModuleInitializer initializer);

[[nodiscard]] int lock_depth() noexcept;

// Call-boundary entry and exit steps (entry faults on a negative depth).
void enter_boundary();
void exit_boundary() noexcept;

// Holds the interpreter lock for its lifetime, taking it only when the
// thread does not already rely on holding it. A thread that gave the lock up
// through LockReleased takes it back with the thread state it saved, not
// PyGILState_Ensure: at shutdown that is the call CPython ends a daemon
// thread in, while PyGILState_Ensure after finalisation finds no thread
// state and builds one on freed interpreter state.
class LockGuard {
public:
    LockGuard();
    ~LockGuard();
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    bool ensured_ = false;
    bool restored_ = false;
    PyGILState_STATE state_{};
};

// Releases the lock for the lifetime of the object (depth saved and set to
// 0) and takes it back once, on destruction or by restore(). Taking it back
// can end the thread (the interpreter's forced unwind at shutdown), so that
// must never happen in a destructor run while another exception unwinds:
// that is std::terminate. run_without_lock therefore takes the lock back in
// its handler for any exception, and the destructor only on a normal exit
// (it lets that unwind out). abandon() is for a thread being ended: taking
// the lock back would end it a second time.
class LockReleased {
public:
    LockReleased() noexcept;
    ~LockReleased() noexcept(false);
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;
    void abandon() noexcept;
    void restore();

private:
    void finish() noexcept;

    int saved_depth_;
    PyThreadState* saved_state_;
    PyThreadState* outer_released_;
    bool done_ = false;
};

template <class Work>
LARKSPUR_FORCED_UNWIND_HANDLER decltype(auto) run_without_lock(Work&& work) {
    LockReleased released;
    try {
        return std::forward<Work>(work)();
    }
#if LARKSPUR_HAS_FORCED_UNWIND
    catch (const abi::__forced_unwind&) {
        released.abandon();
        throw;
    }
#endif
    catch (...) {
        // Back under the lock before the exception travels on, from a
        // handler, where the thread may be ended: its unwind then replaces
        // the exception.
        released.restore();
        throw;
    }
}

}  // namespace larkspur::binding
