// The batch module's numeric services: the exact chi-squared upper tail
// (numerics::chi_squared_upper_tail, the same bits on every platform; x any
// real number, df an integer from 1 to 2**32: TypeError for a non-integer,
// ValueError outside the range) and the kernel query of show_config (the
// variant that runs, chosen once per process, the ones this CPU supports
// and every one this build has, narrowest first).
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "numerics/chi_squared_tail.hpp"
#include "src/batch/entry_point.hpp"
#include "src/batch/entry_points.hpp"
#include "src/statistical_tests/lag_kernels.hpp"

namespace larkspur::batch {
namespace {

using binding::BorrowedRef;
using binding::OwnedRef;
using binding::PendingError;
using binding::Result;

constexpr std::string_view freedom_out_of_range = "df must be a positive integer at most 2**32";

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

Result<OwnedRef> chi2_upper_tail(std::span<PyObject* const> slots) {
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

PyObject* kernel_info_entry(PyObject*, PyObject*) {
    return binding::object_boundary([] { return kernel_info(); });
}

constexpr std::string_view tail_names[] = {"x", "df"};
constexpr binding::ParameterSpec chi2_upper_tail_spec{std::nullopt, "chi2_upper_tail", tail_names, 2, 2, {}};

}  // namespace

const PyMethodDef chi2_upper_tail_method = keyword_method<chi2_upper_tail_spec, chi2_upper_tail>(
    "chi2_upper_tail(x, df, /)\n--\n\n"
    "P(X > x) for X chi-squared with df degrees of freedom (1 <= df <= 2**32), computed directly\n"
    "(not as 1 - F), with the same bits on every platform; NaN for NaN, 1 for x <= 0, 0 for +inf.");
const PyMethodDef kernel_info_method = {
    "kernel_info", kernel_info_entry, METH_NOARGS,
    "kernel_info()\n--\n\n"
    "The kernel variant that runs, those this CPU supports and all this build has; see "
    "larkspur_tools.show_config."};

}  // namespace larkspur::batch
