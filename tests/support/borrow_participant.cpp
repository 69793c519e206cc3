// _borrow_participant: a test-only extension module that is a second,
// independent participant of the shared borrow registry (its own copy of the
// registry code and caches). It creates the capsule when it comes first and
// adopts an existing one otherwise, takes exclusive borrows, and exposes
// keys and registry contents for the tests.
#include "array_input/borrow_registry.hpp"
#include "binding/call_boundary.hpp"
#include "binding/interpreter_guard.hpp"
#include "array_input/numpy_api.hpp"
#include "array_input/series_view.hpp"
#include "tests/support/borrow_registry_hooks.hpp"

namespace {

using namespace larkspur::binding;
using namespace larkspur::array_input;

template <class Operation>
PyObject* with_api(Operation operation) {
    return object_boundary([&]() -> Result<OwnedRef> { return expect_object(operation(registry_api())); });
}

PyObject* participant_set_up(PyObject*, PyObject*) {
    return with_api([](const SharedBorrowApi& api) { return PyLong_FromUnsignedLongLong(api.version); });
}

PyObject* participant_acquire(PyObject*, PyObject* array) {
    return with_api([&](const SharedBorrowApi& api) { return PyLong_FromLong(api.acquire(api.state, array)); });
}

PyObject* participant_acquire_mut(PyObject*, PyObject* array) {
    return with_api([&](const SharedBorrowApi& api) { return PyLong_FromLong(api.acquire_mut(api.state, array)); });
}

PyObject* participant_release(PyObject*, PyObject* array) {
    return with_api([&](const SharedBorrowApi& api) {
        api.release(api.state, array);
        return Py_NewRef(Py_None);
    });
}

PyObject* participant_release_mut(PyObject*, PyObject* array) {
    return with_api([&](const SharedBorrowApi& api) {
        api.release_mut(api.state, array);
        return Py_NewRef(Py_None);
    });
}

PyObject* participant_borrow_key(PyObject*, PyObject* array) {
    return object_boundary([&]() -> Result<OwnedRef> {
        const BorrowKey key = borrow_key(BorrowedRef(array));
        return expect_object(Py_BuildValue("(KKKn)", static_cast<unsigned long long>(key.start),
                                           static_cast<unsigned long long>(key.end),
                                           static_cast<unsigned long long>(key.data), key.stride_gcd));
    });
}

PyObject* participant_base_address(PyObject*, PyObject* array) {
    return object_boundary(
        [&]() -> Result<OwnedRef> { return OwnedRef::new_reference(base_address(BorrowedRef(array))); });
}

// [(base, (start, end, data, gcd), count)], or None when another module
// created the registry in use.
PyObject* participant_contents(PyObject*, PyObject*) {
    return object_boundary([]() -> Result<OwnedRef> {
        const auto snapshot = registry_snapshot();
        if (!snapshot) return OwnedRef::new_reference(Py_None);
        OwnedRef list = expect_object(PyList_New(0));
        for (const auto& [base, key, count] : *snapshot) {
            const OwnedRef item =
                expect_object(Py_BuildValue("(O(KKKn)n)", base, static_cast<unsigned long long>(key.start),
                                            static_cast<unsigned long long>(key.end),
                                            static_cast<unsigned long long>(key.data), key.stride_gcd, count));
            if (PyList_Append(list.get(), item.get()) < 0) return std::unexpected(fetch_or_system_error());
        }
        return list;
    });
}

// The sequence route's copy: a new float64 array owning its buffer through a
// PySliceContainer (this module's own copy of that type).
PyObject* participant_array_from_sequence(PyObject*, PyObject* sequence) {
    return object_boundary([&]() -> Result<OwnedRef> {
        auto vector = extract_float_vector(BorrowedRef(sequence));
        if (!vector) return std::unexpected(std::move(vector.error()));
        return array_from_vector(std::move(*vector));
    });
}

PyMethodDef participant_methods[] = {
    {"array_from_sequence", participant_array_from_sequence, METH_O, nullptr},
    {"set_up", participant_set_up, METH_NOARGS, nullptr},
    {"acquire", participant_acquire, METH_O, nullptr},
    {"acquire_mut", participant_acquire_mut, METH_O, nullptr},
    {"release", participant_release, METH_O, nullptr},
    {"release_mut", participant_release_mut, METH_O, nullptr},
    {"borrow_key", participant_borrow_key, METH_O, nullptr},
    {"base_address", participant_base_address, METH_O, nullptr},
    {"contents", participant_contents, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef participant_definition = {
    PyModuleDef_HEAD_INIT, "_borrow_participant", "", 0, participant_methods, nullptr, nullptr, nullptr, nullptr};
ModuleRecord participant_record{&participant_definition};

Status participant_body(BorrowedRef) { return {}; }

}  // namespace

PyMODINIT_FUNC PyInit__borrow_participant() {
    return object_boundary([] { return make_module(participant_record, participant_body); });
}
