// The exception a failed series is raised as, for both modules: the class
// raises it, the batch module reports its class and message per series.
// ZeroTau is OSError, the allocation failure a bare MemoryError (no
// message), every other failure ValueError (SeriesFailure::exception).
#pragma once

#include "binding/pending_error.hpp"
#include "src/statistical_tests/series_checks.hpp"

namespace larkspur::lib {

// The Python exception class of a failure kind (a borrowed, immortal type).
[[nodiscard]] PyObject* failure_exception_class(statistical_tests::FailureException exception) noexcept;

// The failure as the class raises it.
[[nodiscard]] binding::PendingError failure_error(const statistical_tests::SeriesFailure& failure);

}  // namespace larkspur::lib
