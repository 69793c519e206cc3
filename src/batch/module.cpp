// PyInit__batch: the module `larkspur_tools._batch`, the companion's native
// engine: many series of a test in one call on worker threads (each test's
// functions beside its batch record), the exact chi-squared tail, the
// kernel query and the bootstrap's byte selection (entry_points.hpp lists
// them). Every series gets the class's checks and bits. Import fails with
// RuntimeError when the environment names kernel variants badly.
#include <iterator>

#include "binding/call_boundary.hpp"
#include "binding/interpreter_guard.hpp"
#include "src/batch/entry_points.hpp"
#include "src/lib/kernel_choice.hpp"
#include "src/lib/test_parameters.hpp"

namespace larkspur::batch {
namespace {

using binding::BorrowedRef;
using binding::OwnedRef;

// The one registration of a function of the module. The entries are
// defined in other files and initialised at load time in an unspecified
// order, so the table is filled at the first import, not at load.
const PyMethodDef* const registered[] = {
    &el_many_method,     &lag_profile_method,     &check_parameters_method, &default_d_method,
    &kernel_info_method, &chi2_upper_tail_method, &select_by_byte_method,   &gst_many_method,
    &gst_prepare_method, &gst_replicates_method,  &demeaned_method,
};
PyMethodDef methods[std::size(registered) + 1] = {};

bool fill_methods() noexcept {
    for (std::size_t k = 0; k < std::size(registered); ++k) methods[k] = *registered[k];
    return true;
}

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
    // Thread-safe once: a function-local static is initialised exactly once.
    static const bool filled = batch::fill_methods();
    (void)filled;
    return binding::object_boundary([] { return binding::make_module(batch::module_record, batch::module_body); });
}
