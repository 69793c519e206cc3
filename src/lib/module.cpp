// PyInit_larkspur and the module body: the top-level module `larkspur`, its
// plain submodule `statistical_tests` (not entered in sys.modules), and the
// class EscancianoLobato exported into it, each recorded in `__all__`.
#include "binding/call_boundary.hpp"
#include "binding/arguments.hpp"
#include "binding/interpreter_guard.hpp"
#include "binding/once_cell.hpp"
#include "src/lib/kernel_choice.hpp"
#include "src/lib/result_class.hpp"

namespace larkspur::lib {
namespace {

using binding::BorrowedRef;
using binding::OwnedRef;
using binding::PendingError;
using binding::Result;
using binding::Status;

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "larkspur", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
binding::ModuleRecord module_record{&module_definition};

BorrowedRef all_name() {
    static binding::OnceCell<OwnedRef> cell;
    if (const OwnedRef* existing = cell.get()) return existing->borrow();
    return cell.store(binding::expect_object(PyUnicode_InternFromString("__all__"))).borrow();
}

Status export_member(BorrowedRef module, BorrowedRef name, BorrowedRef value) {
    OwnedRef all = OwnedRef::steal(PyObject_GetAttr(module.get(), all_name().get()));
    if (all) {
        if (!PyList_Check(all.get())) return std::unexpected(binding::conversion_error(all.borrow(), "PyList"));
    } else {
        PendingError lookup = binding::fetch_or_system_error();
        if (PyErr_GivenExceptionMatches(lookup.instantiate().get(), PyExc_AttributeError) == 0) {
            return std::unexpected(std::move(lookup));
        }
        all = binding::expect_object(PyList_New(0));
        if (PyObject_SetAttr(module.get(), all_name().get(), all.get()) < 0) {
            return std::unexpected(binding::fetch_or_system_error());
        }
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
        binding::fault_with_error("could not append __name__ to __all__", binding::fetch_or_system_error());
    }
    if (PyObject_SetAttr(module.get(), name.get(), value.get()) < 0) {
        return std::unexpected(binding::fetch_or_system_error());
    }
    return {};
}

Status module_body(BorrowedRef module) {
    if (Status kernel = check_kernel_choice(); !kernel) return kernel;
    OwnedRef submodule = OwnedRef::steal(PyModule_New("statistical_tests"));
    if (!submodule) return std::unexpected(binding::fetch_or_system_error());

    Result<BorrowedRef> type = escanciano_lobato_type().get_or_create();
    if (!type) return std::unexpected(std::move(type.error()));
    const OwnedRef class_name = binding::expect_object(PyUnicode_FromString("EscancianoLobato"));
    if (Status exported = export_member(submodule.borrow(), class_name.borrow(), *type); !exported) return exported;

    const OwnedRef submodule_name = OwnedRef::steal(PyObject_GetAttrString(submodule.get(), "__name__"));
    if (!submodule_name) return std::unexpected(binding::fetch_or_system_error());
    return export_member(module, submodule_name.borrow(), submodule.borrow());
}

}  // namespace
}  // namespace larkspur::lib

PyMODINIT_FUNC PyInit_larkspur() {
    using namespace larkspur;
    return binding::object_boundary([] { return binding::make_module(lib::module_record, lib::module_body); });
}
