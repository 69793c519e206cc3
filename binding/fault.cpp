#include "binding/fault.hpp"

#include "binding/once_cell.hpp"

namespace larkspur::binding {
namespace {

constexpr char panic_exception_name[] = "larkspur_runtime.PanicException";
constexpr char panic_exception_doc[] =
    "\n"
    "The exception raised when larkspur's native code, called from Python, fails\n"
    "unrecoverably: an internal invariant was broken, not an ordinary input error.\n"
    "\n"
    "Like SystemExit, this exception derives from BaseException rather than\n"
    "Exception, so that it typically propagates all the way through the stack\n"
    "and makes the interpreter exit instead of being swallowed by `except Exception`.\n";

OnceCell<OwnedRef> panic_type_cell;

}  // namespace

BorrowedRef panic_exception_type() {
    if (const OwnedRef* existing = panic_type_cell.get()) {
        return existing->borrow();
    }
    OwnedRef created = OwnedRef::steal(
        PyErr_NewExceptionWithDoc(panic_exception_name, panic_exception_doc, PyExc_BaseException, nullptr));
    if (!created) {
        // fetch_error() would look for the very type we failed to make.
        PyObject* raised = PyErr_GetRaisedException();
        PendingError error = raised ? PendingError::from_exception(OwnedRef::steal(raised))
                                    : PendingError::with_message(PyExc_SystemError, no_exception_set_message);
        fault_with_error("Failed to initialize new exception type.", std::move(error));
    }
    return panic_type_cell.store(std::move(created)).borrow();
}

void fault_with_error(std::string_view text, PendingError error) {
    throw InternalFault(std::string(text) + ": " + error.debug_rendering());
}

}  // namespace larkspur::binding
