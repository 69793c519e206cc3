// PyInit__batch: the module `larkspur_tools._batch` and its functions
//
//   el_many(values, q, d, axis, threads, stop_at_first_failure)
//     -> (p_tilde, statistic, pvalue, failures)
//   chi2_upper_tail(x, df) -> float
//
// chi2_upper_tail is numerics::chi_squared_upper_tail (the same bits on every
// platform): x any real number, df an integer from 1 to 2**32 (TypeError
// for a non-integer, ValueError outside the range).
//
// p_tilde, statistic and pvalue are bytearrays of one int64 / float64 per
// series (native order); failures is a list of (index, exception class,
// message) in index order. q and d are checked exactly as the class checks
// them; each series gets the class's own checks and bits. The interpreter
// lock is released while the series are tested; interrupts are looked for
// on the calling thread about every 50 ms and end the batch with their
// exception. The Python function `larkspur_tools.el_many` is the public face.
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "binding/arguments.hpp"
#include "binding/call_boundary.hpp"
#include "binding/interpreter_guard.hpp"
#include "numerics/chi_squared_tail.hpp"
#include "src/batch/batch_input.hpp"
#include "src/batch/batch_runner.hpp"
#include "src/lib/test_parameters.hpp"

namespace larkspur::batch {
namespace {

using binding::BorrowedRef;
using binding::OwnedRef;
using binding::PendingError;
using binding::Result;
using statistical_tests::FailureException;

constexpr std::string_view parameter_names[] = {"values", "q", "d", "axis", "threads", "stop_at_first_failure"};
constexpr binding::ParameterSpec el_many_spec{std::nullopt, "el_many", parameter_names, 6, 6, {}};

constexpr std::string_view tail_parameter_names[] = {"x", "df"};
constexpr binding::ParameterSpec chi2_upper_tail_spec{std::nullopt, "chi2_upper_tail", tail_parameter_names, 2, 2, {}};
constexpr std::string_view freedom_out_of_range = "df must be a positive integer at most 2**32";

Result<OwnedRef> byte_column(std::uint64_t count) {
    if (count > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max() / 8)) {
        return std::unexpected(PendingError::no_memory());
    }
    OwnedRef column = OwnedRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * 8)));
    if (!column) return std::unexpected(binding::fetch_or_system_error());
    return column;
}

unsigned char* column_data(const OwnedRef& column) noexcept {
    return reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(column.get()));
}

PyObject* exception_class(FailureException exception) noexcept {
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

Result<OwnedRef> failure_list(const std::vector<IndexedFailure>& failures) {
    OwnedRef list = OwnedRef::steal(PyList_New(0));
    if (!list) return std::unexpected(binding::fetch_or_system_error());
    for (const IndexedFailure& entry : failures) {
        const std::string message = entry.failure.message();
        OwnedRef item = OwnedRef::steal(
            Py_BuildValue("(KOs#)", static_cast<unsigned long long>(entry.index),
                          exception_class(entry.failure.exception()), message.data(),
                          static_cast<Py_ssize_t>(message.size())));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return std::unexpected(binding::fetch_or_system_error());
    }
    return list;
}

Result<OwnedRef> el_many(PyObject* args, PyObject* kwargs) {
    PyObject* slots[6] = {};
    if (auto bound = binding::bind_arguments(el_many_spec, args, kwargs, slots); !bound) {
        return std::unexpected(std::move(bound.error()));
    }
    Result<lib::TestParameters> parameters = lib::test_parameters(slots[1], slots[2]);
    if (!parameters) return std::unexpected(std::move(parameters.error()));
    auto axis = binding::extract_u8(BorrowedRef(slots[3]));
    if (!axis) return std::unexpected(binding::wrap_argument_error("axis", std::move(axis.error())));
    auto threads = binding::extract_u64(BorrowedRef(slots[4]));
    if (!threads) return std::unexpected(binding::wrap_argument_error("threads", std::move(threads.error())));
    if (*threads == 0) return std::unexpected(PendingError::with_message(PyExc_ValueError, "threads must be positive"));
    const int stop_at_first_failure = PyObject_IsTrue(slots[5]);
    if (stop_at_first_failure < 0) return std::unexpected(binding::fetch_or_system_error());

    Result<BatchInput> input = batch_input(BorrowedRef(slots[0]), *axis);
    if (!input) return std::unexpected(std::move(input.error()));
    const std::uint64_t count = input->series.size();
    Result<OwnedRef> p_tilde = byte_column(count);
    if (!p_tilde) return p_tilde;
    Result<OwnedRef> statistic = byte_column(count);
    if (!statistic) return statistic;
    Result<OwnedRef> pvalue = byte_column(count);
    if (!pvalue) return pvalue;

    const BatchOptions options{parameters->q, parameters->d,
                               static_cast<unsigned>(std::min<std::uint64_t>(*threads, 1024)),
                               stop_at_first_failure != 0};
    const BatchOutputs outputs{column_data(*p_tilde), column_data(*statistic), column_data(*pvalue)};
    // Filled on the calling thread by the poll, with the lock held.
    std::optional<PendingError> interrupt;
    auto poll = [&interrupt]() -> bool {
        const binding::LockGuard lock;
        if (PyErr_CheckSignals() == 0) return false;
        interrupt = binding::fetch_or_system_error();
        return true;
    };
    BatchOutcome outcome = binding::run_without_lock([&] { return run_batch(input->series, options, outputs, poll); });
    if (interrupt) return std::unexpected(*std::move(interrupt));

    Result<OwnedRef> failures = failure_list(outcome.failures);
    if (!failures) return failures;
    OwnedRef result = OwnedRef::steal(PyTuple_Pack(4, p_tilde->get(), statistic->get(), pvalue->get(), failures->get()));
    if (!result) return std::unexpected(binding::fetch_or_system_error());
    return result;
}

PyObject* el_many_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return binding::object_boundary([&] { return el_many(args, kwargs); });
}

Result<OwnedRef> chi2_upper_tail(PyObject* args, PyObject* kwargs) {
    PyObject* slots[2] = {};
    if (auto bound = binding::bind_arguments(chi2_upper_tail_spec, args, kwargs, slots); !bound) {
        return std::unexpected(std::move(bound.error()));
    }
    auto x = binding::extract_f64(BorrowedRef(slots[0]));
    if (!x) return std::unexpected(binding::wrap_argument_error("x", std::move(x.error())));
    auto freedom = binding::extract_u64(BorrowedRef(slots[1]));
    if (!freedom) {
        // A negative or too large integer: a value error, like 0.
        if (freedom.error().has_exact_type(PyExc_OverflowError)) {
            return std::unexpected(PendingError::with_message(PyExc_ValueError, std::string(freedom_out_of_range)));
        }
        return std::unexpected(binding::wrap_argument_error("df", std::move(freedom.error())));
    }
    if (*freedom == 0 || *freedom > numerics::max_tail_freedom) {
        return std::unexpected(PendingError::with_message(PyExc_ValueError, std::string(freedom_out_of_range)));
    }
    OwnedRef result = OwnedRef::steal(PyFloat_FromDouble(numerics::chi_squared_upper_tail(*x, *freedom)));
    if (!result) return std::unexpected(binding::fetch_or_system_error());
    return result;
}

PyObject* chi2_upper_tail_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return binding::object_boundary([&] { return chi2_upper_tail(args, kwargs); });
}

PyMethodDef methods[] = {
    {"el_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(el_many_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "el_many(values, q, d, axis, threads, stop_at_first_failure)\n--\n\n"
     "The test on every series of a panel; see larkspur_tools.el_many."},
    {"chi2_upper_tail", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(chi2_upper_tail_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "chi2_upper_tail(x, df, /)\n--\n\n"
     "P(X > x) for X chi-squared with df degrees of freedom (1 <= df <= 2**32), computed directly\n"
     "(not as 1 - F), with the same bits on every platform; NaN for NaN, 1 for x <= 0, 0 for +inf."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "larkspur_tools._batch",
                                 "Many series in one native call (the engine of larkspur_tools.el_many), and the exact chi-squared tail.", 0,
                                 methods, nullptr, nullptr, nullptr, nullptr};
binding::ModuleRecord module_record{&module_definition};

binding::Status module_body(BorrowedRef) { return {}; }

}  // namespace
}  // namespace larkspur::batch

PyMODINIT_FUNC PyInit__batch() {
    using namespace larkspur;
    return binding::object_boundary([] { return binding::make_module(batch::module_record, batch::module_body); });
}
