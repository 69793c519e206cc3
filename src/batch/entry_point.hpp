// The shape every function of the batch module has: arguments bound by
// name (bind_arguments, the interpreter's messages), a body returning a
// value or a PendingError, and the object boundary that alone raises.
//
//   PyMethodDef keyword_method<spec, body>(doc)   body(std::span<PyObject* const>) -> Result<OwnedRef>
//
// A slot is null for an argument not passed.
#pragma once

#include <span>

#include "binding/arguments.hpp"
#include "binding/call_boundary.hpp"

namespace larkspur::batch {

template <const binding::ParameterSpec& spec, auto body>
PyObject* keyword_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return binding::object_boundary([&]() -> binding::Result<binding::OwnedRef> {
        PyObject* slots[spec.slot_count()] = {};
        if (auto bound = binding::bind_arguments(spec, args, kwargs, slots); !bound) {
            return std::unexpected(std::move(bound.error()));
        }
        return body(std::span<PyObject* const>(slots));
    });
}

template <const binding::ParameterSpec& spec, auto body>
constexpr PyMethodDef keyword_method(const char* doc) noexcept {
    return {spec.function_name.data(),
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(keyword_entry<spec, body>)),
            METH_VARARGS | METH_KEYWORDS, doc};
}

}  // namespace larkspur::batch
