#include "src/lib/failure_exception.hpp"

namespace larkspur::lib {

using statistical_tests::FailureException;

PyObject* failure_exception_class(FailureException exception) noexcept {
    switch (exception) {
        case FailureException::OSError:
            return PyExc_OSError;
        case FailureException::MemoryError:
            return PyExc_MemoryError;
        case FailureException::ValueError:
            break;
    }
    return PyExc_ValueError;
}

binding::PendingError failure_error(const statistical_tests::SeriesFailure& failure) {
    const FailureException exception = failure.exception();
    if (exception == FailureException::MemoryError) return binding::PendingError::no_memory();
    return binding::PendingError::with_message(failure_exception_class(exception), failure.message());
}

}  // namespace larkspur::lib
