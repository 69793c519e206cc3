#include "binding/class_type.hpp"

#include <cstring>

#include "binding/arguments.hpp"
#include "binding/call_boundary.hpp"
#include "binding/fault.hpp"

namespace larkspur::binding {
namespace {

constexpr char nul_in_doc_message[] = "class doc cannot contain nul bytes";

PyObject* property_getter(PyObject* self, void* closure) {
    const auto* property = static_cast<const PropertyDescription*>(closure);
    return object_boundary([&] { return property->getter(BorrowedRef(self)); });
}

int property_setter(PyObject* self, PyObject* value, void* closure) {
    const auto* property = static_cast<const PropertyDescription*>(closure);
    return int_boundary([&] { return property->setter(BorrowedRef(self), BorrowedRef(value)); });
}

bool has_slot(const std::vector<PyType_Slot>& slots, int id) {
    for (const PyType_Slot& slot : slots) {
        if (slot.slot == id) return true;
    }
    return false;
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    freefunc free_slot = type->tp_free;
    if (free_slot == nullptr) {
        throw InternalFault("PyBaseObject_Type should have tp_free");
    }
    free_slot(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

}  // namespace

std::string class_documentation(const ClassDescription& description) {
    if (description.text_signature == nullptr) {
        return std::string(description.doc);
    }
    return std::string(description.name) + description.text_signature + "\n--\n\n" + std::string(description.doc);
}

Result<OwnedRef> LazyType::create() {
    const std::string* doc = doc_.get();
    if (doc == nullptr) {
        doc = &doc_.store(class_documentation(description_));
    }
    if (doc->find('\0') != std::string::npos) {
        return std::unexpected(PendingError::with_message(PyExc_ValueError, nul_in_doc_message));
    }
    // Built once: a failed attempt (e.g. PyType_FromSpec raising) keeps them.
    if (spec_slots_.empty()) {
        std::vector<PyType_Slot> slots;
        if (!doc->empty()) slots.push_back({Py_tp_doc, const_cast<char*>(doc->c_str())});
        for (const PyType_Slot& slot : description_.slots) slots.push_back(slot);
        for (const PropertyDescription& property : description_.properties) {
            getset_.push_back(PyGetSetDef{property.name, property_getter,
                                          property.setter != nullptr ? property_setter : nullptr, property.doc,
                                          const_cast<PropertyDescription*>(&property)});
        }
        if (!getset_.empty()) {
            getset_.push_back(PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr});
            slots.push_back({Py_tp_getset, getset_.data()});
        }
        slots.push_back({Py_tp_base, description_.base});
        if (!has_slot(description_.slots, Py_tp_new)) {
            slots.push_back({Py_tp_new, reinterpret_cast<void*>(no_constructor_new)});
        }
        const bool gc =
            has_slot(description_.slots, Py_tp_traverse) || PyType_HasFeature(description_.base, Py_TPFLAGS_HAVE_GC);
        slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(gc ? description_.gc_dealloc : description_.dealloc)});
        slots.push_back({0, nullptr});
        spec_slots_ = std::move(slots);
        spec_name_ = std::string(description_.module_name != nullptr ? description_.module_name : "builtins") + "." +
                     description_.name;
    }
    unsigned flags = Py_TPFLAGS_DEFAULT;
    if (description_.subclassable) flags |= Py_TPFLAGS_BASETYPE;
    if (has_slot(description_.slots, Py_tp_traverse)) flags |= Py_TPFLAGS_HAVE_GC;
    PyType_Spec spec{spec_name_.c_str(), description_.basic_size, 0, flags, spec_slots_.data()};
    OwnedRef type = OwnedRef::steal(PyType_FromSpec(&spec));
    if (!type) {
        return std::unexpected(fetch_or_system_error());
    }
    return type;
}

Result<BorrowedRef> LazyType::get_or_create() {
    if (const OwnedRef* existing = type_.get()) {
        return existing->borrow();
    }
    const ProcessLock creating(creation_);
    if (const OwnedRef* existing = type_.get()) {
        return existing->borrow();
    }
    Result<OwnedRef> created = create();
    if (!created) {
        PendingError wrapped = PendingError::with_message(
            PyExc_RuntimeError, std::string("An error occurred while initializing class ") + description_.name);
        const BorrowedRef outer = wrapped.instantiate();
        const BorrowedRef inner = created.error().instantiate();
        PyException_SetCause(outer.get(), Py_NewRef(inner.get()));
        return std::unexpected(std::move(wrapped));
    }
    return type_.store(std::move(*created)).borrow();
}

PyTypeObject* LazyType::get() {
    Result<BorrowedRef> type = get_or_create();
    if (!type) {
        std::move(type.error()).raise();
        PyErr_PrintEx(0);
        throw InternalFault(std::string("failed to create type object for ") + description_.name);
    }
    return reinterpret_cast<PyTypeObject*>(type->get());
}

Result<OwnedRef> allocate_instance(PyTypeObject* subtype, PyTypeObject* base) {
    PyObject* object = nullptr;
    if (base == &PyBaseObject_Type) {
        allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
        object = alloc(subtype, 0);
    } else {
        if (base->tp_new == nullptr) {
            return std::unexpected(PendingError::with_message(PyExc_TypeError, "base type without tp_new"));
        }
        object = base->tp_new(subtype, nullptr, nullptr);
    }
    if (object == nullptr) {
        return std::unexpected(fetch_or_system_error());
    }
    return OwnedRef::steal(object);
}

Result<ReceiverBorrow> ReceiverBorrow::acquire(LazyType& type, BorrowedRef object) {
    PyTypeObject* expected = type.get();
    if (object.type() != expected && PyType_IsSubtype(object.type(), expected) == 0) {
        return std::unexpected(conversion_error(object, type.description().name));
    }
    auto* counter = reinterpret_cast<std::uint64_t*>(reinterpret_cast<char*>(object.get()) +
                                                     type.description().borrow_counter_offset);
    std::atomic_ref<std::uint64_t> count(*counter);
    std::uint64_t current = count.load(std::memory_order_relaxed);
    do {
        if (current == exclusive_borrow_flag) {
            return std::unexpected(PendingError::with_message(PyExc_RuntimeError, "Already mutably borrowed"));
        }
    } while (!count.compare_exchange_weak(current, current + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return ReceiverBorrow(object.to_owned(), counter);
}

ReceiverBorrow::ReceiverBorrow(ReceiverBorrow&& other) noexcept
    : instance_(std::move(other.instance_)), counter_(std::exchange(other.counter_, nullptr)) {}

ReceiverBorrow::~ReceiverBorrow() {
    if (counter_ != nullptr) {
        std::atomic_ref<std::uint64_t>(*counter_).fetch_sub(1, std::memory_order_release);
    }
}

PyObject* no_constructor_new(PyTypeObject* subtype, PyObject*, PyObject*) {
    return object_boundary([&]() -> Result<OwnedRef> {
        std::string name = "<unknown>";
        const OwnedRef type_name = OwnedRef::steal(PyType_GetName(subtype));
        Py_ssize_t size = 0;
        const char* text = type_name ? PyUnicode_AsUTF8AndSize(type_name.get(), &size) : nullptr;
        if (text != nullptr) {
            name.assign(text, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
        }
        return std::unexpected(PendingError::with_message(PyExc_TypeError, "No constructor defined for " + name));
    });
}

void dealloc_instance(PyObject* self, FieldRelease release_fields) {
    dealloc_boundary([&] {
        release_fields(self);
        free_instance(self);
    });
}

void dealloc_gc_instance(PyObject* self, FieldRelease release_fields) {
    PyObject_GC_UnTrack(self);
    dealloc_instance(self, release_fields);
}

}  // namespace larkspur::binding
