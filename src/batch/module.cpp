// PyInit__batch: the module `larkspur_tools._batch` and its functions
//
//   el_many(values, q, d, axis, threads, stop_at_first_failure)
//     -> (p_tilde, statistic, pvalue, failures)
//   kernel_info() -> {"running": name, "supported": names, "compiled": names}
//   chi2_upper_tail(x, df) -> float
//   _select_by_byte(octets, products, out, threshold) -> bytearray
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
//
// _select_by_byte, private to the wild bootstrap's Mammen weights, is
// select_by_byte (src/batch/byte_select.hpp) over buffers: octets a
// C-contiguous 2-D uint8 buffer (rows, at least n), products a C-contiguous
// int64 buffer of shape (2, n), out a writable C-contiguous int64 buffer of
// shape (rows, n) overlapping neither, threshold an int from 0 to 255. It
// returns the tied positions as a bytearray of int64 (native order); out's
// row r value i is then products[0, i] for a byte below the threshold and
// products[1, i] otherwise. A buffer of another kind is a TypeError, shapes
// that do not fit or overlap a ValueError. The lock stays held: a call is
// one block of the bootstrap, a few milliseconds.
//
// kernel_info names the kernel variant that runs (chosen once per process,
// see statistical_tests/lag_kernels.hpp), the ones this CPU supports and
// every one this build has, narrowest first. Import fails with RuntimeError
// when the environment names variants badly.
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/buffer_view.hpp"
#include "binding/call_boundary.hpp"
#include "binding/interpreter_guard.hpp"
#include "numerics/chi_squared_tail.hpp"
#include "src/batch/batch_input.hpp"
#include "src/batch/batch_runner.hpp"
#include "src/batch/byte_select.hpp"
#include "src/lib/failure_exception.hpp"
#include "src/lib/kernel_choice.hpp"
#include "src/lib/test_parameters.hpp"
#include "src/statistical_tests/derived_lag.hpp"
#include "src/statistical_tests/lag_kernels.hpp"
#include "src/statistical_tests/lag_profile.hpp"

namespace larkspur::batch {
namespace {

using binding::BorrowedRef;
using binding::OwnedRef;
using binding::PendingError;
using binding::Result;

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

Result<OwnedRef> failure_list(const std::vector<IndexedFailure>& failures) {
    OwnedRef list = OwnedRef::steal(PyList_New(0));
    if (!list) return std::unexpected(binding::fetch_or_system_error());
    for (const IndexedFailure& entry : failures) {
        const std::string message = entry.failure.message();
        OwnedRef item = OwnedRef::steal(Py_BuildValue("(KOs#)", static_cast<unsigned long long>(entry.index),
                                                      lib::failure_exception_class(entry.failure.exception()),
                                                      message.data(), static_cast<Py_ssize_t>(message.size())));
        if (!item || PyList_Append(list.get(), item.get()) < 0)
            return std::unexpected(binding::fetch_or_system_error());
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
    OwnedRef result =
        OwnedRef::steal(PyTuple_Pack(4, p_tilde->get(), statistic->get(), pvalue->get(), failures->get()));
    if (!result) return std::unexpected(binding::fetch_or_system_error());
    return result;
}

// A bytearray of the 8-byte values, native order (Python reads it with frombuffer).
template <class Value>
Result<OwnedRef> column_of(const std::vector<Value>& values) {
    static_assert(sizeof(Value) == 8);
    Result<OwnedRef> column = byte_column(values.size());
    if (column && !values.empty()) std::memcpy(column_data(*column), values.data(), values.size() * sizeof(Value));
    return column;
}

// The one series of lag_profile: a 1-D float64 ndarray, C-contiguous (the
// companion's reading gives it so). Held by reference and shared borrow
// while it is read, with the interpreter lock held.
Result<BatchInput> contiguous_series(BorrowedRef values) {
    OwnedRef single = OwnedRef::steal(PyTuple_Pack(1, values.get()));
    if (!single) return std::unexpected(binding::fetch_or_system_error());
    Result<BatchInput> input = batch_input(single.borrow(), 0);
    if (input && input->series[0].stride != static_cast<std::ptrdiff_t>(sizeof(double)) &&
        input->series[0].length > 1) {
        return std::unexpected(PendingError::with_message(PyExc_TypeError, "values must be contiguous"));
    }
    return input;
}

Result<OwnedRef> lag_profile(PyObject* args, PyObject* kwargs) {
    static constexpr std::string_view names[] = {"values", "q", "d"};
    static constexpr binding::ParameterSpec spec{std::nullopt, "lag_profile", names, 3, 3, {}};
    PyObject* slots[3] = {};
    if (auto bound = binding::bind_arguments(spec, args, kwargs, slots); !bound) {
        return std::unexpected(std::move(bound.error()));
    }
    Result<lib::TestParameters> parameters = lib::test_parameters(slots[1], slots[2]);
    if (!parameters) return std::unexpected(std::move(parameters.error()));
    Result<BatchInput> input = contiguous_series(BorrowedRef(slots[0]));
    if (!input) return std::unexpected(std::move(input.error()));
    const SeriesSpec& series = input->series[0];
    const auto profile = statistical_tests::lag_profile(series.data, series.length, parameters->q, parameters->d);
    if (!profile) return std::unexpected(lib::failure_error(profile.error()));
    OwnedRef table = OwnedRef::steal(PyDict_New());
    if (!table) return std::unexpected(binding::fetch_or_system_error());
    auto put = [&table](const char* key, Result<OwnedRef> value) -> binding::Status {
        if (!value) return std::unexpected(std::move(value.error()));
        if (!*value || PyDict_SetItemString(table.get(), key, value->get()) < 0) {
            return std::unexpected(binding::fetch_or_system_error());
        }
        return {};
    };
    auto number = [](PyObject* made) -> Result<OwnedRef> { return OwnedRef::steal(made); };
    const std::pair<const char*, const std::vector<double>*> columns[] = {
        {"g", &profile->g},
        {"t", &profile->t},
        {"gamma", &profile->gamma},
        {"tau", &profile->tau},
        {"rho_squared", &profile->rho_squared},
        {"cumulative_statistic", &profile->cumulative_statistic},
        {"penalty", &profile->penalty},
        {"criterion", &profile->criterion},
    };
    for (const auto& [key, values] : columns) {
        if (auto stored = put(key, column_of(*values)); !stored) return std::unexpected(std::move(stored.error()));
    }
    const std::pair<const char*, PyObject*> scalars[] = {
        {"p_tilde", PyLong_FromUnsignedLongLong(profile->result.p_tilde)},
        {"statistic", PyFloat_FromDouble(profile->result.statistic)},
        {"pvalue", PyFloat_FromDouble(profile->result.pvalue)},
        {"d", PyLong_FromUnsignedLongLong(profile->d)},
        {"bic_penalty", PyBool_FromLong(profile->bic_penalty ? 1 : 0)},
        {"mean", PyFloat_FromDouble(profile->mean)},
        {"sum_of_squares", PyFloat_FromDouble(profile->sum_of_squares)},
    };
    binding::Status stored{};
    for (const auto& [key, made] : scalars) {
        // Every object is made first, so each is dropped on any failure.
        Result<OwnedRef> value = number(made);
        if (stored) stored = put(key, std::move(value));
    }
    if (!stored) return std::unexpected(std::move(stored.error()));
    return table;
}

Result<OwnedRef> default_d(PyObject* args, PyObject* kwargs) {
    static constexpr std::string_view names[] = {"n"};
    static constexpr binding::ParameterSpec spec{std::nullopt, "default_d", names, 1, 1, {}};
    PyObject* slots[1] = {};
    if (auto bound = binding::bind_arguments(spec, args, kwargs, slots); !bound) {
        return std::unexpected(std::move(bound.error()));
    }
    auto n = binding::extract_u64(BorrowedRef(slots[0]));
    if (!n) return std::unexpected(binding::wrap_argument_error("n", std::move(n.error())));
    OwnedRef d = OwnedRef::steal(PyLong_FromUnsignedLongLong(statistical_tests::derived_lag(*n)));
    if (!d) return std::unexpected(binding::fetch_or_system_error());
    return d;
}

// q and d checked as the class checks them, before any series is read.
Result<OwnedRef> check_parameters(PyObject* args, PyObject* kwargs) {
    static constexpr std::string_view names[] = {"q", "d"};
    static constexpr binding::ParameterSpec spec{std::nullopt, "check_parameters", names, 2, 2, {}};
    PyObject* slots[2] = {};
    if (auto bound = binding::bind_arguments(spec, args, kwargs, slots); !bound) {
        return std::unexpected(std::move(bound.error()));
    }
    if (auto checked = lib::test_parameters(slots[0], slots[1]); !checked) {
        return std::unexpected(std::move(checked.error()));
    }
    return OwnedRef::steal(Py_NewRef(Py_None));
}

PyObject* check_parameters_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return binding::object_boundary([&] { return check_parameters(args, kwargs); });
}

PyObject* lag_profile_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return binding::object_boundary([&] { return lag_profile(args, kwargs); });
}

PyObject* default_d_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return binding::object_boundary([&] { return default_d(args, kwargs); });
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
        if (!name || PyList_Append(list.get(), name.get()) < 0)
            return std::unexpected(binding::fetch_or_system_error());
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

constexpr std::string_view octets_wanted = "octets must be a C-contiguous 2-D uint8 array";
constexpr std::string_view products_wanted = "products must be a C-contiguous 2-D int64 array of two rows";
constexpr std::string_view out_wanted = "out must be a writable C-contiguous 2-D int64 array";
constexpr std::string_view shapes_unfit =
    "out must have octets' rows and products' columns, and octets at least as many columns";
constexpr std::string_view overlapping_out = "out must not overlap octets or products";

// A C-contiguous 2-D buffer of `object` whose items are one of the struct
// codes `codes` (native order) of `itemsize` bytes, or a TypeError `wanted`.
binding::Status matrix_buffer(binding::BufferView& buffer, BorrowedRef object, int flags, std::string_view codes,
                              Py_ssize_t itemsize, std::string_view wanted) {
    if (auto acquired = buffer.acquire(object, flags); !acquired) {
        return std::unexpected(PendingError::with_message(PyExc_TypeError, std::string(wanted)));
    }
    const Py_buffer& view = buffer.view();
    std::string_view format = view.format != nullptr ? view.format : "B";
    if (format.starts_with('@')) format.remove_prefix(1);
    if (view.ndim != 2 || view.itemsize != itemsize || format.size() != 1 ||
        codes.find(format.front()) == std::string_view::npos || PyBuffer_IsContiguous(&view, 'C') == 0) {
        return std::unexpected(PendingError::with_message(PyExc_TypeError, std::string(wanted)));
    }
    return {};
}

bool overlap(const Py_buffer& a, const Py_buffer& b) noexcept {
    const auto* a_start = static_cast<const unsigned char*>(a.buf);
    const auto* b_start = static_cast<const unsigned char*>(b.buf);
    return a.len > 0 && b.len > 0 && a_start < b_start + b.len && b_start < a_start + a.len;
}

Result<OwnedRef> select_by_byte_call(PyObject* args, PyObject* kwargs) {
    static constexpr std::string_view names[] = {"octets", "products", "out", "threshold"};
    static constexpr binding::ParameterSpec spec{std::nullopt, "_select_by_byte", names, 4, 4, {}};
    PyObject* slots[4] = {};
    if (auto bound = binding::bind_arguments(spec, args, kwargs, slots); !bound) {
        return std::unexpected(std::move(bound.error()));
    }
    binding::BufferView octets;
    binding::BufferView products;
    binding::BufferView out;
    if (auto got = matrix_buffer(octets, BorrowedRef(slots[0]), PyBUF_RECORDS_RO, "B", 1, octets_wanted); !got) {
        return std::unexpected(std::move(got.error()));
    }
    if (auto got = matrix_buffer(products, BorrowedRef(slots[1]), PyBUF_RECORDS_RO, "ql", 8, products_wanted); !got) {
        return std::unexpected(std::move(got.error()));
    }
    if (auto got = matrix_buffer(out, BorrowedRef(slots[2]), PyBUF_RECORDS, "ql", 8, out_wanted); !got) {
        return std::unexpected(std::move(got.error()));
    }
    auto threshold = binding::extract_u8(BorrowedRef(slots[3]));
    if (!threshold) return std::unexpected(binding::wrap_argument_error("threshold", std::move(threshold.error())));

    const Py_buffer& bytes = octets.view();
    const Py_buffer& choices = products.view();
    const Py_buffer& target = out.view();
    if (choices.shape[0] != 2) {
        return std::unexpected(PendingError::with_message(PyExc_TypeError, std::string(products_wanted)));
    }
    const Py_ssize_t rows = target.shape[0];
    const Py_ssize_t n = target.shape[1];
    if (bytes.shape[0] != rows || choices.shape[1] != n || bytes.shape[1] < n) {
        return std::unexpected(PendingError::with_message(PyExc_ValueError, std::string(shapes_unfit)));
    }
    if (overlap(target, bytes) || overlap(target, choices)) {
        return std::unexpected(PendingError::with_message(PyExc_ValueError, std::string(overlapping_out)));
    }
    const auto* words = static_cast<const std::int64_t*>(choices.buf);
    const std::vector<std::int64_t> tied = select_by_byte(
        ByteSelection{static_cast<const std::uint8_t*>(bytes.buf), static_cast<std::size_t>(bytes.shape[1]), words,
                      words + n, static_cast<std::int64_t*>(target.buf), static_cast<std::size_t>(rows),
                      static_cast<std::size_t>(n), *threshold});
    return column_of(tied);
}

PyObject* select_by_byte_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return binding::object_boundary([&] { return select_by_byte_call(args, kwargs); });
}

PyMethodDef methods[] = {
    {"el_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(el_many_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "el_many(values, q, d, axis, threads, stop_at_first_failure)\n--\n\n"
     "The test on every series of a panel; see larkspur_tools.el_many."},
    {"lag_profile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lag_profile_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "lag_profile(values, q, d)\n--\n\n"
     "The test's per-lag quantities of one contiguous float64 series; see larkspur_tools.lag_table."},
    {"check_parameters", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_parameters_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "check_parameters(q, d)\n--\n\n"
     "Raises what the class raises for q and d (None: the default); returns None."},
    {"default_d", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(default_d_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "default_d(n)\n--\n\n"
     "The largest lag the test uses when d is not given: the integer fifth root of n."},
    {"kernel_info", kernel_info_entry, METH_NOARGS,
     "kernel_info()\n--\n\n"
     "The kernel variant that runs, those this CPU supports and all this build has; see "
     "larkspur_tools.show_config."},
    {"chi2_upper_tail", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(chi2_upper_tail_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "chi2_upper_tail(x, df, /)\n--\n\n"
     "P(X > x) for X chi-squared with df degrees of freedom (1 <= df <= 2**32), computed directly\n"
     "(not as 1 - F), with the same bits on every platform; NaN for NaN, 1 for x <= 0, 0 for +inf."},
    {"_select_by_byte", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(select_by_byte_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "_select_by_byte(octets, products, out, threshold, /)\n--\n\n"
     "Private to the wild bootstrap: out[r, i] = products[0, i] where octets[r, i] < threshold, else\n"
     "products[1, i]; returns the flat positions of bytes equal to the threshold (int64 bytes)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "larkspur_tools._batch",
    "Many series in one native call (the engine of larkspur_tools.el_many), and the exact chi-squared tail.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr};
binding::ModuleRecord module_record{&module_definition};

binding::Status module_body(BorrowedRef module) {
    if (binding::Status kernels = lib::check_kernel_choice(); !kernels) return kernels;
    OwnedRef q = OwnedRef::steal(PyFloat_FromDouble(lib::default_q));
    if (!q || PyModule_AddObjectRef(module.get(), "DEFAULT_Q", q.get()) < 0) {
        return std::unexpected(binding::fetch_or_system_error());
    }
    return {};
}

}  // namespace
}  // namespace larkspur::batch

PyMODINIT_FUNC PyInit__batch() {
    using namespace larkspur;
    return binding::object_boundary([] { return binding::make_module(batch::module_record, batch::module_body); });
}
