// Internal faults and PanicException.
//
// InternalFault (one C++ exception type with a text) unwinds from anywhere
// below a call boundary; the boundary turns it into PanicException(text).
// PanicException derives from BaseException, so `except Exception` does not
// swallow it. The type is created once per process on first need and is not
// placed in any module.
#pragma once

#include <string>
#include <string_view>

#include "base/internal_fault.hpp"
#include "binding/pending_error.hpp"
#include "binding/refs.hpp"

namespace larkspur::binding {

using larkspur::InternalFault;

// This process's PanicException type (borrowed; lives until exit).
[[nodiscard]] BorrowedRef panic_exception_type();

// Raises InternalFault with "<text>: <debug rendering of error>", for
// operations that must succeed but returned an error.
[[noreturn]] void fault_with_error(std::string_view text, PendingError error);

// Result<T> -> T, or the fault above.
template <class T>
T expect_success(Result<T> result, std::string_view text) {
    if (!result) {
        fault_with_error(text, std::move(result.error()));
    }
    if constexpr (!std::is_void_v<T>) {
        return std::move(*result);
    }
}

}  // namespace larkspur::binding
