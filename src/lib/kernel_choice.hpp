// The import-time check both modules make of the kernel choice
// (statistical_tests/lag_kernels.hpp): when LARKSPUR_KERNEL or
// LARKSPUR_DISABLE_KERNELS is invalid, importing the module raises
// RuntimeError with the core's text, before any series is tested. Not
// ImportError: guards around optional imports would swallow that silently.
#pragma once

#include "binding/pending_error.hpp"
#include "src/statistical_tests/lag_kernels.hpp"

namespace larkspur::lib {

[[nodiscard]] inline binding::Status check_kernel_choice() {
    const statistical_tests::KernelSelection& selection = statistical_tests::kernel_selection();
    if (selection.error.empty()) return {};
    return std::unexpected(binding::PendingError::with_message(PyExc_RuntimeError, selection.error));
}

}  // namespace larkspur::lib
