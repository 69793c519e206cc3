// _binding_probe: a test-only extension module (never installed) that
// exposes the binding runtime's pieces to pytest, including the parts the
// public class never reaches: made-up parameter specs, deferred errors of
// any type, fault resumption, debug rendering, class creation failures,
// receiver borrows, dealloc faults and lock-depth faults.
#include <cstdlib>
#include <deque>
#include <new>
#include <string>

#include "binding/arguments.hpp"
#include "binding/call_boundary.hpp"
#include "binding/class_type.hpp"
#include "binding/fault.hpp"
#include "binding/interpreter_guard.hpp"
#include "tests/support/binding_hooks.hpp"

namespace {

using namespace larkspur::binding;

// ---- argument binding -------------------------------------------------------

constexpr std::string_view posonly_names[] = {"a", "b", "c"};
constexpr KeywordOnlyParam posonly_keywords[] = {{"k", true}, {"m", false}};
constexpr ParameterSpec posonly_spec{std::nullopt, "posonly", posonly_names, 2, 2, posonly_keywords};

constexpr std::string_view one_names[] = {"x"};
constexpr ParameterSpec one_spec{"Probe", "one", one_names, 0, 1, {}};

constexpr std::string_view four_names[] = {"a", "b", "c", "d"};
constexpr ParameterSpec four_spec{std::nullopt, "four", four_names, 0, 4, {}};

constexpr std::string_view keywords_names[] = {"x"};
constexpr KeywordOnlyParam keywords_required[] = {{"p", true}, {"q", false}, {"r", true}, {"s", true}};
constexpr ParameterSpec keywords_spec{std::nullopt, "keywords", keywords_names, 0, 0, keywords_required};

constexpr std::string_view ctor_names[] = {"raw_data", "q", "d"};
constexpr ParameterSpec ctor_spec{"EscancianoLobato", "__new__", ctor_names, 0, 1, {}};

// Returns {name: value} for the filled slots.
Result<OwnedRef> bind_with(const ParameterSpec& spec, PyObject* args, PyObject* kwargs) {
    PyObject* slots[8] = {};
    if (Status bound = bind_arguments(spec, args, kwargs, std::span<PyObject*>(slots, spec.slot_count())); !bound) {
        return std::unexpected(std::move(bound.error()));
    }
    OwnedRef result = expect_object(PyDict_New());
    for (std::size_t i = 0; i < spec.slot_count(); ++i) {
        if (slots[i] == nullptr) continue;
        const std::string_view name = i < spec.positional_names.size()
                                          ? spec.positional_names[i]
                                          : spec.keyword_only[i - spec.positional_names.size()].name;
        const OwnedRef key =
            expect_object(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (PyDict_SetItem(result.get(), key.get(), slots[i]) < 0) return std::unexpected(fetch_or_system_error());
    }
    return result;
}

template <const ParameterSpec& Spec>
PyObject* bind_probe(PyObject*, PyObject* args, PyObject* kwargs) {
    return object_boundary([&] { return bind_with(Spec, args, kwargs); });
}

// ---- errors -------------------------------------------------------------------

Result<OwnedRef> call(PyObject* callable) {
    OwnedRef result = OwnedRef::steal(PyObject_CallNoArgs(callable));
    if (!result) return std::unexpected(fetch_or_system_error());
    return result;
}

OwnedRef text_object(const std::string& text) {
    return expect_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyObject* probe_object_text(PyObject*, PyObject* object) {
    return object_boundary([&]() -> Result<OwnedRef> { return text_object(object_text(BorrowedRef(object))); });
}

PyObject* probe_fetch_nothing(PyObject*, PyObject*) {
    return object_boundary([]() -> Result<OwnedRef> { return std::unexpected(fetch_or_system_error()); });
}

PyObject* probe_raise_deferred(PyObject*, PyObject* args) {
    PyObject* type = nullptr;
    PyObject* argument = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &type, &argument)) return nullptr;
    return object_boundary([&]() -> Result<OwnedRef> {
        return std::unexpected(
            PendingError::with_argument(OwnedRef::new_reference(type), OwnedRef::new_reference(argument)));
    });
}

// Calls `callable`; a raised exception goes through fetch_error (and fault
// resumption) and is raised again from here.
PyObject* probe_call_and_fetch(PyObject*, PyObject* callable) {
    return object_boundary([&] { return call(callable); });
}

PyObject* probe_debug_rendering(PyObject*, PyObject* callable) {
    return object_boundary([&]() -> Result<OwnedRef> {
        Result<OwnedRef> outcome = call(callable);
        if (outcome) return text_object("no error");
        return text_object(outcome.error().debug_rendering());
    });
}

PyObject* probe_debug_rendering_deferred(PyObject*, PyObject* message) {
    return object_boundary([&]() -> Result<OwnedRef> {
        PendingError error = PendingError::with_message(PyExc_ValueError, object_text(BorrowedRef(message)));
        return text_object(error.debug_rendering());
    });
}

PyObject* probe_cause_of(PyObject*, PyObject* callable) {
    return object_boundary([&]() -> Result<OwnedRef> {
        Result<OwnedRef> outcome = call(callable);
        if (outcome) return OwnedRef::new_reference(Py_None);
        std::optional<PendingError> cause = outcome.error().cause();
        if (!cause) return OwnedRef::new_reference(Py_None);
        return std::unexpected(*std::move(cause));
    });
}

PyObject* probe_fault(PyObject*, PyObject* text) {
    return object_boundary([&]() -> Result<OwnedRef> { throw InternalFault(object_text(BorrowedRef(text))); });
}

PyObject* probe_out_of_memory(PyObject*, PyObject*) {
    return object_boundary([]() -> Result<OwnedRef> { throw std::bad_alloc(); });
}

PyObject* probe_fault_with_error(PyObject*, PyObject* callable) {
    return object_boundary(
        [&]() -> Result<OwnedRef> { return expect_success(call(callable), "probe operation failed"); });
}

// ---- conversions ------------------------------------------------------------

PyObject* probe_extract_f64(PyObject*, PyObject* object) {
    return object_boundary([&]() -> Result<OwnedRef> {
        Result<double> value = extract_f64(BorrowedRef(object));
        if (!value) return std::unexpected(std::move(value.error()));
        return expect_object(PyFloat_FromDouble(*value));
    });
}

PyObject* probe_extract_u64(PyObject*, PyObject* object) {
    return object_boundary([&]() -> Result<OwnedRef> {
        Result<std::uint64_t> value = extract_u64(BorrowedRef(object));
        if (!value) return std::unexpected(std::move(value.error()));
        return expect_object(PyLong_FromUnsignedLongLong(*value));
    });
}

PyObject* probe_extract_u8(PyObject*, PyObject* object) {
    return object_boundary([&]() -> Result<OwnedRef> {
        Result<std::uint8_t> value = extract_u8(BorrowedRef(object));
        if (!value) return std::unexpected(std::move(value.error()));
        return expect_object(PyLong_FromLong(*value));
    });
}

PyObject* probe_wrap(PyObject*, PyObject* args) {
    const char* name = nullptr;
    PyObject* callable = nullptr;
    if (!PyArg_ParseTuple(args, "sO", &name, &callable)) return nullptr;
    return object_boundary([&]() -> Result<OwnedRef> {
        Result<OwnedRef> outcome = call(callable);
        if (outcome) return outcome;
        return std::unexpected(wrap_argument_error(name, std::move(outcome.error())));
    });
}

PyObject* probe_conversion_error(PyObject*, PyObject* args) {
    PyObject* object = nullptr;
    const char* target = nullptr;
    if (!PyArg_ParseTuple(args, "Os", &object, &target)) return nullptr;
    return object_boundary(
        [&]() -> Result<OwnedRef> { return std::unexpected(conversion_error(BorrowedRef(object), target)); });
}

// ---- classes ------------------------------------------------------------------

struct OpaqueObject {
    PyObject_HEAD double value;
    std::uint64_t borrow_counter;
};

LazyType& opaque_type();

Result<OwnedRef> opaque_value(BorrowedRef self) {
    Result<ReceiverBorrow> borrow = ReceiverBorrow::acquire(opaque_type(), self);
    if (!borrow) return std::unexpected(std::move(borrow.error()));
    return expect_object(PyFloat_FromDouble(borrow->as<OpaqueObject>().value));
}

// A writable property: its setter runs inside the int-returning boundary.
Status set_opaque_value(BorrowedRef self, BorrowedRef value) {
    if (value.get() == nullptr) {
        return std::unexpected(PendingError::with_message(PyExc_AttributeError, "value cannot be deleted"));
    }
    Result<double> converted = extract_f64(value);
    if (!converted) return std::unexpected(std::move(converted.error()));
    if (*converted < 0.0) throw InternalFault("negative values are refused by a fault");
    reinterpret_cast<OpaqueObject*>(self.get())->value = *converted;
    return {};
}

LazyType& opaque_type() {
    static LazyType type(ClassDescription{"Opaque",
                                          "larkspur_probe",
                                          &PyBaseObject_Type,
                                          sizeof(OpaqueObject),
                                          "An object without a constructor.",
                                          nullptr,
                                          false,
                                          {},
                                          {{"value", opaque_value, nullptr, "The stored value."},
                                           {"settable", opaque_value, set_opaque_value, "The stored value, writable."}},
                                          plain_dealloc<>,
                                          gc_dealloc<>,
                                          offsetof(OpaqueObject, borrow_counter)});
    return type;
}

void fault_in_release(PyObject*) { throw InternalFault("fault while releasing fields"); }

LazyType& faulty_type() {
    static LazyType type(ClassDescription{"Faulty",
                                          nullptr,
                                          &PyBaseObject_Type,
                                          sizeof(OpaqueObject),
                                          "",
                                          nullptr,
                                          false,
                                          {},
                                          {},
                                          plain_dealloc<fault_in_release>,
                                          gc_dealloc<fault_in_release>,
                                          0});
    return type;
}

PyObject* probe_new_instance(PyObject*, PyObject* args) {
    const char* which = nullptr;
    double value = 0.0;
    if (!PyArg_ParseTuple(args, "sd", &which, &value)) return nullptr;
    return object_boundary([&]() -> Result<OwnedRef> {
        LazyType& type = std::string(which) == "faulty" ? faulty_type() : opaque_type();
        Result<BorrowedRef> created = type.get_or_create();
        if (!created) return std::unexpected(std::move(created.error()));
        auto* subtype = reinterpret_cast<PyTypeObject*>(created->get());
        Result<OwnedRef> instance = allocate_instance(subtype, &PyBaseObject_Type);
        if (!instance) return instance;
        auto* object = reinterpret_cast<OpaqueObject*>(instance->get());
        object->value = value;
        object->borrow_counter = 0;
        return instance;
    });
}

// The getter called directly: the interpreter's descriptor checks the type
// first, so this is the only way to hand the receiver check a wrong object.
PyObject* probe_read_opaque(PyObject*, PyObject* object) {
    return object_boundary([&] { return opaque_value(BorrowedRef(object)); });
}

PyObject* probe_set_borrow_counter(PyObject*, PyObject* args) {
    PyObject* object = nullptr;
    unsigned long long counter = 0;
    if (!PyArg_ParseTuple(args, "OK", &object, &counter)) return nullptr;
    reinterpret_cast<OpaqueObject*>(object)->borrow_counter = counter;
    Py_RETURN_NONE;
}

PyObject* probe_borrow_counter(PyObject*, PyObject* object) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<OpaqueObject*>(object)->borrow_counter);
}

// Classes built from caller-chosen documentation, kept for the process.
std::deque<LazyType> custom_types;

PyObject* probe_make_class(PyObject*, PyObject* args) {
    const char* name = nullptr;
    PyObject* doc = nullptr;
    const char* signature = nullptr;
    if (!PyArg_ParseTuple(args, "sUz", &name, &doc, &signature)) return nullptr;
    return object_boundary([&]() -> Result<OwnedRef> {
        Py_ssize_t size = 0;
        const char* doc_text = PyUnicode_AsUTF8AndSize(doc, &size);
        if (doc_text == nullptr) return std::unexpected(fetch_or_system_error());
        static std::deque<std::string> texts;
        const std::string& stored_name = texts.emplace_back(name);
        const std::string& stored_doc = texts.emplace_back(doc_text, static_cast<std::size_t>(size));
        const char* stored_signature = signature != nullptr ? texts.emplace_back(signature).c_str() : nullptr;
        LazyType& type = custom_types.emplace_back(ClassDescription{stored_name.c_str(),
                                                                    nullptr,
                                                                    &PyBaseObject_Type,
                                                                    sizeof(OpaqueObject),
                                                                    stored_doc,
                                                                    stored_signature,
                                                                    false,
                                                                    {},
                                                                    {},
                                                                    plain_dealloc<>,
                                                                    gc_dealloc<>,
                                                                    0});
        Result<BorrowedRef> created = type.get_or_create();
        if (!created) return std::unexpected(std::move(created.error()));
        return created->to_owned();
    });
}

// The same lazily created type, asked for from any number of threads.
PyObject* probe_shared_type(PyObject*, PyObject*) {
    return object_boundary([]() -> Result<OwnedRef> {
        Result<BorrowedRef> created = opaque_type().get_or_create();
        if (!created) return std::unexpected(std::move(created.error()));
        return created->to_owned();
    });
}

// ---- lock depth -----------------------------------------------------------------

PyObject* probe_lock_depth(PyObject*, PyObject*) {
    return object_boundary([]() -> Result<OwnedRef> { return expect_object(PyLong_FromLong(lock_depth())); });
}

PyObject* probe_acquire_with_depth(PyObject*, PyObject* depth_object) {
    const long depth = PyLong_AsLong(depth_object);
    if (depth == -1 && PyErr_Occurred()) return nullptr;
    return object_boundary([&]() -> Result<OwnedRef> {
        const int saved = lock_depth();
        set_lock_depth(static_cast<int>(depth));
        try {
            const LockGuard lock;
        } catch (...) {
            set_lock_depth(saved);
            throw;
        }
        set_lock_depth(saved);
        return OwnedRef::new_reference(Py_None);
    });
}

PyObject* probe_enter_with_depth(PyObject*, PyObject* depth_object) {
    const long depth = PyLong_AsLong(depth_object);
    if (depth == -1 && PyErr_Occurred()) return nullptr;
    set_lock_depth(static_cast<int>(depth));
    return object_boundary([]() -> Result<OwnedRef> { return OwnedRef::new_reference(Py_None); });
}

// ---- module -------------------------------------------------------------------------

PyMethodDef probe_methods[] = {
    {"bind_posonly", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bind_probe<posonly_spec>)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"bind_one", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bind_probe<one_spec>)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"bind_four", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bind_probe<four_spec>)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"bind_keywords", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bind_probe<keywords_spec>)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"bind_ctor", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bind_probe<ctor_spec>)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"object_text", probe_object_text, METH_O, nullptr},
    {"fetch_nothing", probe_fetch_nothing, METH_NOARGS, nullptr},
    {"raise_deferred", probe_raise_deferred, METH_VARARGS, nullptr},
    {"call_and_fetch", probe_call_and_fetch, METH_O, nullptr},
    {"debug_rendering", probe_debug_rendering, METH_O, nullptr},
    {"debug_rendering_deferred", probe_debug_rendering_deferred, METH_O, nullptr},
    {"cause_of", probe_cause_of, METH_O, nullptr},
    {"fault", probe_fault, METH_O, nullptr},
    {"out_of_memory", probe_out_of_memory, METH_NOARGS, nullptr},
    {"fault_with_error", probe_fault_with_error, METH_O, nullptr},
    {"extract_f64", probe_extract_f64, METH_O, nullptr},
    {"extract_u64", probe_extract_u64, METH_O, nullptr},
    {"extract_u8", probe_extract_u8, METH_O, nullptr},
    {"wrap", probe_wrap, METH_VARARGS, nullptr},
    {"conversion_error", probe_conversion_error, METH_VARARGS, nullptr},
    {"new_instance", probe_new_instance, METH_VARARGS, nullptr},
    {"read_opaque", probe_read_opaque, METH_O, nullptr},
    {"set_borrow_counter", probe_set_borrow_counter, METH_VARARGS, nullptr},
    {"borrow_counter", probe_borrow_counter, METH_O, nullptr},
    {"make_class", probe_make_class, METH_VARARGS, nullptr},
    {"shared_type", probe_shared_type, METH_NOARGS, nullptr},
    {"lock_depth", probe_lock_depth, METH_NOARGS, nullptr},
    {"acquire_with_depth", probe_acquire_with_depth, METH_O, nullptr},
    {"enter_with_depth", probe_enter_with_depth, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_definition = {
    PyModuleDef_HEAD_INIT, "_binding_probe", "", 0, probe_methods, nullptr, nullptr, nullptr, nullptr};
ModuleRecord probe_record{&probe_definition};

// With LARKSPUR_PROBE_FAIL_FIRST_INIT set, the first initialisation fails so
// that a retry in the same interpreter can be observed.
bool failed_once = false;

Status probe_body(BorrowedRef) {
    if (std::getenv("LARKSPUR_PROBE_FAIL_FIRST_INIT") != nullptr && !failed_once) {
        failed_once = true;
        return std::unexpected(PendingError::with_message(PyExc_ValueError, "probe initialisation failed on purpose"));
    }
    return {};
}

}  // namespace

PyMODINIT_FUNC PyInit__binding_probe() {
    return object_boundary([] { return make_module(probe_record, probe_body); });
}
