#include "binding/interpreter_guard.hpp"

#include <atomic>

#include "binding/fault.hpp"

namespace larkspur::binding {
namespace {

thread_local int thread_lock_depth = 0;
// The thread state saved by the innermost live LockReleased on this thread.
thread_local PyThreadState* thread_released_state = nullptr;
std::atomic<bool> interpreter_checked{false};

constexpr char traverse_prohibited[] = "Access to the GIL is prohibited while a __traverse__ implmentation is running.";
constexpr char access_prohibited[] = "Access to the GIL is currently prohibited.";

[[noreturn]] void lock_prohibited(int depth) {
    throw InternalFault(depth == -1 ? traverse_prohibited : access_prohibited);
}

// Out of line: LockGuard's own frame then holds no addressable local, so a
// thread ended inside PyGILState_Ensure (forced unwind, no cleanup to run
// in that frame) leaves no stack poisoning behind under AddressSanitizer.
#if defined(__GNUC__)
[[gnu::noinline]]
#endif
void check_interpreter_once() {
    if (interpreter_checked.load(std::memory_order_acquire)) {
        return;
    }
    if (Py_IsInitialized() == 0) {
        throw InternalFault(
            "The Python interpreter is not initialized. Initialize it (Py_Initialize) before using the "
            "Python C API from native code.");
    }
    interpreter_checked.store(true, std::memory_order_release);
}

}  // namespace

int lock_depth() noexcept { return thread_lock_depth; }
// Test hook, declared only for tests (tests/support/binding_hooks.hpp): the
// depth is otherwise only changed by the operations below.
void set_lock_depth(int depth) noexcept { thread_lock_depth = depth; }

void enter_boundary() {
    if (thread_lock_depth < 0) {
        lock_prohibited(thread_lock_depth);
    }
    ++thread_lock_depth;
}

void exit_boundary() noexcept { --thread_lock_depth; }

LockGuard::LockGuard() {
    if (thread_lock_depth > 0) {
        ++thread_lock_depth;
        return;
    }
    if (thread_lock_depth == 0 && thread_released_state != nullptr) {
        PyEval_RestoreThread(thread_released_state);
        restored_ = true;
        ++thread_lock_depth;
        return;
    }
    check_interpreter_once();
    if (thread_lock_depth > 0) {
        ++thread_lock_depth;
        return;
    }
    if (thread_lock_depth < 0) {
        lock_prohibited(thread_lock_depth);
    }
    state_ = PyGILState_Ensure();
    ensured_ = true;
    ++thread_lock_depth;
}

LockGuard::~LockGuard() {
    // No current thread state: the interpreter ended this thread while it
    // waited for the lock inside the guarded work (forced unwind), so there
    // is no lock to give back.
    if (current_thread_state() != nullptr) {
        if (restored_) {
            (void)PyEval_SaveThread();
        } else if (ensured_) {
            PyGILState_Release(state_);
        }
    }
    --thread_lock_depth;
}

LockReleased::LockReleased() noexcept
    : saved_depth_(thread_lock_depth), saved_state_(nullptr), outer_released_(thread_released_state) {
    thread_lock_depth = 0;
    saved_state_ = PyEval_SaveThread();
    thread_released_state = saved_state_;
}

LockReleased::~LockReleased() noexcept(false) { restore(); }

void LockReleased::finish() noexcept {
    done_ = true;
    thread_lock_depth = saved_depth_;
    thread_released_state = outer_released_;
}

void LockReleased::abandon() noexcept { finish(); }

void LockReleased::restore() {
    if (done_) return;
    // Finished first: if the interpreter ends the thread inside, nothing on
    // the way out may try again.
    finish();
    PyEval_RestoreThread(saved_state_);
}

Result<OwnedRef> make_module(ModuleRecord& record, ModuleInitializer initializer) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return std::unexpected(fetch_or_system_error());
    }
    std::int64_t expected = -1;
    if (!record.interpreter_id.compare_exchange_strong(expected, id, std::memory_order_seq_cst) && expected != id) {
        return std::unexpected(PendingError::with_message(PyExc_ImportError, subinterpreter_message));
    }
    if (const OwnedRef* existing = record.module.get()) {
        return existing->borrow().to_owned();
    }
    OwnedRef module = OwnedRef::steal(PyModule_Create2(record.definition, module_api_version));
    if (!module) {
        return std::unexpected(fetch_or_system_error());
    }
#ifdef Py_GIL_DISABLED
    // Single-phase initialisation's form of the Py_mod_gil slot: without it a
    // free-threaded interpreter turns its lock back on for the whole process
    // at import. Everything shared across threads is a once-only cell, an
    // atomic, or behind a mutex of its own.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) {
        return std::unexpected(fetch_or_system_error());
    }
#endif
    if (Status initialised = initializer(module.borrow()); !initialised) {
        return std::unexpected(std::move(initialised.error()));
    }
    return record.module.store(std::move(module)).borrow().to_owned();
}

}  // namespace larkspur::binding
