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
//   * The lock is released in exactly one place: run_without_lock, used
//     while waiting for the once-only instantiation of an error.
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
// Test hook: the depth is otherwise only changed by the operations below.
void set_lock_depth(int depth) noexcept;

// Call-boundary entry and exit steps (entry faults on a negative depth).
void enter_boundary();
void exit_boundary() noexcept;

// Holds the interpreter lock for its lifetime, taking it only when the
// thread does not already rely on holding it.
class LockGuard {
public:
    LockGuard();
    ~LockGuard();
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    bool ensured_ = false;
    PyGILState_STATE state_{};
};

// Releases the lock for the lifetime of the object (depth saved and set to
// 0), restoring both on destruction, exceptions included. abandon() is for a
// thread the interpreter is ending (forced unwind): taking the lock back
// would end it a second time inside this destructor. Taking it back can
// itself end the thread, so the destructor lets that unwind out.
class LockReleased {
public:
    LockReleased() noexcept;
    ~LockReleased() noexcept(false);
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;
    void abandon() noexcept { abandoned_ = true; }

private:
    int saved_depth_;
    PyThreadState* saved_state_;
    bool abandoned_ = false;
};

template <class Work>
LARKSPUR_FORCED_UNWIND_HANDLER decltype(auto) run_without_lock(Work&& work) {
    LockReleased released;
#if LARKSPUR_HAS_FORCED_UNWIND
    try {
        return std::forward<Work>(work)();
    } catch (const abi::__forced_unwind&) {
        released.abandon();
        throw;
    }
#else
    return std::forward<Work>(work)();
#endif
}

}  // namespace larkspur::binding
