// PendingError: a Python exception carried as a native value.
//
// Contract:
//   * Every fallible operation returns Result<T> (std::expected<T,
//     PendingError>); while an error is carried the interpreter's error
//     indicator is clear. Only a call boundary raises (raise()).
//   * Deferred form: an exception type plus one argument (a message text, an
//     arbitrary object, a panic text, or a conversion error whose message is
//     composed only when it is raised). Errors built from a type and a text
//     are always deferred.
//   * Instantiated form: an exception object, as fetched from the
//     interpreter. instantiate() turns a deferred error into this form at
//     most once; the interpreter lock is released while waiting for the
//     error's once-only guard.
//   * A PendingError owns strong references to all it holds; dropping it
//     releases them (under the interpreter lock).
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "binding/refs.hpp"

namespace larkspur::binding {

class PendingError {
public:
    // Deferred: `type` (borrowed, e.g. PyExc_ValueError) called with `message`.
    [[nodiscard]] static PendingError with_message(PyObject* type, std::string message);
    // Deferred: `type` called with one arbitrary argument object.
    [[nodiscard]] static PendingError with_argument(OwnedRef type, OwnedRef argument);
    // Deferred: this process's PanicException carrying `text`.
    [[nodiscard]] static PendingError panic(std::string text);
    // Deferred: TypeError "'<qualname>' object cannot be converted to '<target>'".
    [[nodiscard]] static PendingError conversion(BorrowedRef object, std::string_view target);
    // Deferred: MemoryError without arguments.
    [[nodiscard]] static PendingError no_memory();
    // Instantiated: an exception object taken from the interpreter.
    [[nodiscard]] static PendingError from_exception(OwnedRef exception);

    PendingError(PendingError&&) noexcept;
    PendingError& operator=(PendingError&&) noexcept;
    ~PendingError();

    // True when the exception's type is exactly `type` (no subclass test).
    [[nodiscard]] bool has_exact_type(PyObject* type) const;
    // True when the exception's type is `exception_class` or a subclass of
    // it. Looks at the type only: a deferred error stays deferred, so the
    // interpreter lock is never given up to answer.
    [[nodiscard]] bool matches(PyObject* exception_class) const;
    // The exception object (created on first call); owned by this error.
    BorrowedRef instantiate();
    // Puts the error into the interpreter as the current exception.
    void raise() &&;
    // The __cause__ of the exception, as an error value.
    [[nodiscard]] std::optional<PendingError> cause();
    // "PendingError { type: ..., value: ..., traceback: ... }"
    [[nodiscard]] std::string debug_rendering();

private:
    struct State;
    // The exception's type (or, for a deferred error, what will be called),
    // read without instantiating; borrowed from the error or the interpreter.
    [[nodiscard]] PyObject* type_object() const;
    explicit PendingError(std::unique_ptr<State> state) noexcept;
    void raise_deferred();
    std::unique_ptr<State> state_;
};

template <class T>
using Result = std::expected<T, PendingError>;
using Status = Result<void>;

inline constexpr char no_exception_set_message[] = "attempted to fetch exception but none was set";

// Takes the interpreter's current exception, if any. A PanicException of
// this process is resumed as an internal fault instead (banner on stderr).
[[nodiscard]] std::optional<PendingError> fetch_error();
// As fetch_error(), but SystemError "attempted to fetch exception but none
// was set" when nothing is pending. For wrappers of C API calls that failed.
[[nodiscard]] PendingError fetch_or_system_error();

// str(object) as UTF-8 for messages; lone surrogates become U+FFFD; an
// object whose str() raises is reported to sys.unraisablehook and rendered
// "<unprintable TYPE object>".
[[nodiscard]] std::string object_text(BorrowedRef object);

// True for MemoryError and its subclasses (never instantiates).
[[nodiscard]] bool is_memory_error(const PendingError& error);

// For C API calls that must not fail: prints the pending exception and
// raises the internal fault "Python API call failed".
[[noreturn]] void api_call_failed();
// Steals a new reference from a must-not-fail call; null -> api_call_failed().
[[nodiscard]] OwnedRef expect_object(PyObject* result);

}  // namespace larkspur::binding
