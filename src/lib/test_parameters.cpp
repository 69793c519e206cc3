#include "src/lib/test_parameters.hpp"

#include "binding/arguments.hpp"

namespace larkspur::lib {
namespace {

constexpr char q_not_positive[] = "q must be positive";

bool is_absent(PyObject* slot) noexcept { return slot == nullptr || slot == Py_None; }

}  // namespace

binding::Result<TestParameters> test_parameters(PyObject* q_object, PyObject* d_object) {
    using binding::BorrowedRef;
    const bool q_supplied = !is_absent(q_object);
    TestParameters parameters{default_q, std::nullopt};
    if (q_supplied) {
        auto converted = binding::extract_f64(BorrowedRef(q_object));
        if (!converted) return std::unexpected(binding::wrap_argument_error("q", std::move(converted.error())));
        parameters.q = *converted;
    }
    if (!is_absent(d_object)) {
        auto converted = binding::extract_u64(BorrowedRef(d_object));
        if (!converted) return std::unexpected(binding::wrap_argument_error("d", std::move(converted.error())));
        parameters.d = *converted;
    }
    if (q_supplied && !(parameters.q > 0.0)) {
        return std::unexpected(binding::PendingError::with_message(PyExc_ValueError, q_not_positive));
    }
    return parameters;
}

}  // namespace larkspur::lib
