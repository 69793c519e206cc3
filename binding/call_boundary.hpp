// Call boundaries: the wrappers around every function the interpreter calls.
//
// Each boundary runs its body with the lock-depth bookkeeping, turns a
// returned PendingError into the interpreter's current exception, turns an
// InternalFault into PanicException(text) and std::bad_alloc into
// MemoryError, and returns the entry point's failure value. Nothing thrown
// ever crosses into the interpreter: a fault escaping the boundary's own
// steps ends the process after "uncaught panic at ffi boundary".
//
// One thing passes through untouched: the forced unwind of a thread that
// the interpreter ends at shutdown (base/forced_unwind.hpp). For it the
// boundaries and the entry points that call them are not noexcept.
//
//   object_boundary   body -> Result<OwnedRef>; failure: nullptr
//   int_boundary      body -> Status;           failure: -1
//   dealloc_boundary  body -> void;             failure reported through
//                                                PyErr_WriteUnraisable(NULL)
#pragma once

#include <cstdio>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "base/forced_unwind.hpp"
#include "binding/fault.hpp"
#include "binding/interpreter_guard.hpp"
#include "binding/pending_error.hpp"

namespace larkspur::binding {

inline constexpr char uncaught_fault_message[] = "uncaught panic at ffi boundary";
inline constexpr char anonymous_fault_text[] = "larkspur native code failed without a message";

namespace detail {

[[noreturn]] inline void abort_uncaught_fault() noexcept {
    std::fputs(uncaught_fault_message, stderr);
    std::fputs("\n", stderr);
    std::fflush(stderr);
    std::abort();
}

// Runs the body; any escaping C++ exception becomes an error value.
template <class Body>
LARKSPUR_FORCED_UNWIND_HANDLER auto run_body(Body& body) -> std::invoke_result_t<Body&> {
    using R = std::invoke_result_t<Body&>;
    try {
        return body();
    } catch (const InternalFault& fault) {
        std::fprintf(stderr, "larkspur: internal fault: %s\n", fault.text().c_str());
        return R(std::unexpect, PendingError::panic(fault.text()));
    } catch (const std::bad_alloc&) {
        return R(std::unexpect, PendingError::no_memory());
    }
    LARKSPUR_RETHROW_FORCED_UNWIND
    catch (...) {
        return R(std::unexpect, PendingError::panic(anonymous_fault_text));
    }
}

struct BoundaryScope {
    BoundaryScope() { enter_boundary(); }
    ~BoundaryScope() { exit_boundary(); }
    BoundaryScope(const BoundaryScope&) = delete;
    BoundaryScope& operator=(const BoundaryScope&) = delete;
};

}  // namespace detail

namespace detail {

// The shared shape of the value-returning boundaries: run the body inside the
// lock-depth scope, map success through `success`, raise an error and return
// `failure`; a fault escaping these steps ends the process.
template <class Body, class Success, class Value>
LARKSPUR_FORCED_UNWIND_HANDLER Value guarded(Body& body, Success success, Value failure) {
    try {
        const BoundaryScope scope;
        auto result = run_body(body);
        if (result) {
            return success(result);
        }
        std::move(result.error()).raise();
        return failure;
    }
    LARKSPUR_RETHROW_FORCED_UNWIND
    catch (...) {
        abort_uncaught_fault();
    }
}

}  // namespace detail

template <class Body>
PyObject* object_boundary(Body&& body) {
    return detail::guarded(
        body, [](Result<OwnedRef>& result) { return result->release(); }, static_cast<PyObject*>(nullptr));
}

template <class Body>
int int_boundary(Body&& body) {
    return detail::guarded(body, [](Status&) { return 0; }, -1);
}

template <class Body>
LARKSPUR_FORCED_UNWIND_HANDLER void dealloc_boundary(Body&& body) {
    try {
        const detail::BoundaryScope scope;
        auto as_status = [&body]() -> Status {
            body();
            return {};
        };
        Status result = detail::run_body(as_status);
        if (!result) {
            std::move(result.error()).raise();
            PyErr_WriteUnraisable(nullptr);
        }
    }
    LARKSPUR_RETHROW_FORCED_UNWIND
    catch (...) {
        detail::abort_uncaught_fault();
    }
}

}  // namespace larkspur::binding
