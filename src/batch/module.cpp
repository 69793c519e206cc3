// PyInit__batch: the module `larkspur_tools._batch` and its functions
//
//   el_many(values, q, d, axis, threads, stop_at_first_failure)
//     -> (p_tilde, statistic, pvalue, failures)
//   kernel_info() -> {"running": name, "supported": names, "compiled": names}
//
// p_tilde, statistic and pvalue are bytearrays of one int64 / float64 per
// series (native order); failures is a list of (index, exception class,
// message) in index order. q and d are checked exactly as the class checks
// them; each series gets the class's own checks and bits. The interpreter
// lock is released while the series are tested; interrupts are looked for
// on the calling thread about every 50 ms and end the batch with their
// exception. The Python function `larkspur_tools.el_many` is the public face.
//
// kernel_info names the kernel variant that runs (chosen once per process,
// see statistical_tests/lag_kernels.hpp), the ones this CPU supports and
// every one this build has, narrowest first. Import fails with RuntimeError
// when the environment names variants badly.
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "binding/arguments.hpp"
#include "binding/call_boundary.hpp"
#include "binding/interpreter_guard.hpp"
#include "src/batch/batch_input.hpp"
#include "src/batch/batch_runner.hpp"
#include "src/lib/kernel_choice.hpp"
#include "src/lib/test_parameters.hpp"
#include "src/statistical_tests/lag_kernels.hpp"

namespace larkspur::batch {
namespace {

using binding::BorrowedRef;
using binding::OwnedRef;
using binding::PendingError;
using binding::Result;
using statistical_tests::FailureException;

constexpr std::string_view parameter_names[] = {"values", "q", "d", "axis", "threads", "stop_at_first_failure"};
constexpr binding::ParameterSpec el_many_spec{std::nullopt, "el_many", parameter_names, 6, 6, {}};

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

// The names of the table's variants (those the CPU supports, or all) as a tuple.
Result<OwnedRef> kernel_names(bool supported_only) {
    OwnedRef list = OwnedRef::steal(PyList_New(0));
    if (!list) return std::unexpected(binding::fetch_or_system_error());
    for (const statistical_tests::KernelVariant& variant : statistical_tests::kernel_variants()) {
        if (supported_only && !variant.cpu_supports()) continue;
        OwnedRef name = OwnedRef::steal(
            PyUnicode_FromStringAndSize(variant.name.data(), static_cast<Py_ssize_t>(variant.name.size())));
        if (!name || PyList_Append(list.get(), name.get()) < 0) return std::unexpected(binding::fetch_or_system_error());
    }
    OwnedRef names = OwnedRef::steal(PyList_AsTuple(list.get()));
    if (!names) return std::unexpected(binding::fetch_or_system_error());
    return names;
}

Result<OwnedRef> kernel_info() {
    const std::string_view running = statistical_tests::active_kernel().name;
    Result<OwnedRef> supported = kernel_names(true);
    if (!supported) return supported;
    Result<OwnedRef> compiled = kernel_names(false);
    if (!compiled) return compiled;
    OwnedRef info = OwnedRef::steal(Py_BuildValue("{s:s#,s:O,s:O}", "running", running.data(),
                                                  static_cast<Py_ssize_t>(running.size()), "supported",
                                                  supported->get(), "compiled", compiled->get()));
    if (!info) return std::unexpected(binding::fetch_or_system_error());
    return info;
}

PyObject* kernel_info_entry(PyObject*, PyObject*) {
    return binding::object_boundary([] { return kernel_info(); });
}

PyMethodDef methods[] = {
    {"el_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(el_many_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "el_many(values, q, d, axis, threads, stop_at_first_failure)\n--\n\n"
     "The test on every series of a panel; see larkspur_tools.el_many."},
    {"kernel_info", kernel_info_entry, METH_NOARGS,
     "kernel_info()\n--\n\n"
     "The kernel variant that runs, those this CPU supports and all this build has; see "
     "larkspur_tools.show_config."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "larkspur_tools._batch",
                                 "Many series in one native call: the engine of larkspur_tools.el_many.", 0,
                                 methods, nullptr, nullptr, nullptr, nullptr};
binding::ModuleRecord module_record{&module_definition};

binding::Status module_body(BorrowedRef) { return lib::check_kernel_choice(); }

}  // namespace
}  // namespace larkspur::batch

PyMODINIT_FUNC PyInit__batch() {
    using namespace larkspur;
    return binding::object_boundary([] { return binding::make_module(batch::module_record, batch::module_body); });
}
