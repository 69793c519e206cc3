// Class type objects: static class descriptions turned into heap types.
//
// Contract:
//   * A ClassDescription becomes a PyType_Spec named "<module or builtins>.<name>"
//     whose doc embeds the text signature ("Name(sig)\n--\n\n<doc>"), with one
//     getset entry per property (each getter wrapped in a call boundary), the
//     base type, a no-constructor tp_new when none is given, and tp_dealloc.
//   * LazyType creates the type once per process, on first need (one thread
//     at a time builds the PyType_Spec and the type; the others wait); a failure
//     stores nothing (the next call retries) and is reported as RuntimeError
//     "An error occurred while initializing class <name>" caused by the
//     underlying error. get() is the infallible form (internal fault).
//   * Instances whose layout ends in a shared-borrow counter are read through
//     ReceiverBorrow, which type-checks the receiver and holds a shared
//     borrow for the duration of a getter.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "binding/once_cell.hpp"
#include "binding/pending_error.hpp"
#include "binding/process_mutex.hpp"
#include "binding/refs.hpp"

namespace larkspur::binding {

using Getter = Result<OwnedRef> (*)(BorrowedRef self);
using Setter = Status (*)(BorrowedRef self, BorrowedRef value);

struct PropertyDescription {
    const char* name;
    Getter getter;
    Setter setter;    // null: read-only
    const char* doc;  // null: none
};

struct ClassDescription {
    const char* name;
    const char* module_name;  // null: "builtins"
    PyTypeObject* base;       // &PyBaseObject_Type for plain classes
    int basic_size;
    std::string_view doc;
    const char* text_signature;  // null: none
    bool subclassable;
    std::vector<PyType_Slot> slots;  // extra type slots, e.g. Py_tp_new
    std::vector<PropertyDescription> properties;
    destructor dealloc;                // plain variant
    destructor gc_dealloc;             // variant for garbage-collected instances
    Py_ssize_t borrow_counter_offset;  // 0: instances cannot be borrowed
};

class LazyType {
public:
    explicit LazyType(ClassDescription description) : description_(std::move(description)) {}

    [[nodiscard]] const ClassDescription& description() const noexcept { return description_; }
    // The type object (borrowed; lives until exit) or the wrapped RuntimeError.
    [[nodiscard]] Result<BorrowedRef> get_or_create();
    // The infallible form: prints the error and raises an internal fault.
    [[nodiscard]] PyTypeObject* get();

private:
    Result<OwnedRef> create();

    ClassDescription description_;
    // Taken around creation: the PyType_Spec arrays below are built in place.
    ProcessMutex creation_;
    OnceCell<OwnedRef> type_;
    OnceCell<std::string> doc_;
    // Arrays handed to PyType_FromSpec; kept for the life of the process.
    std::vector<PyGetSetDef> getset_;
    std::vector<PyType_Slot> spec_slots_;
    std::string spec_name_;
};

// The documentation layout that carries a text signature.
[[nodiscard]] std::string class_documentation(const ClassDescription& description);

// A new, zero-initialised instance of `subtype`.
[[nodiscard]] Result<OwnedRef> allocate_instance(PyTypeObject* subtype, PyTypeObject* base);

// A shared borrow of a checked receiver, released on destruction.
class ReceiverBorrow {
public:
    [[nodiscard]] static Result<ReceiverBorrow> acquire(LazyType& type, BorrowedRef object);
    ReceiverBorrow(ReceiverBorrow&& other) noexcept;
    ReceiverBorrow& operator=(ReceiverBorrow&&) = delete;
    ~ReceiverBorrow();

    template <class Layout>
    [[nodiscard]] const Layout& as() const noexcept {
        return *reinterpret_cast<const Layout*>(instance_.get());
    }

private:
    ReceiverBorrow(OwnedRef instance, std::uint64_t* counter) noexcept
        : instance_(std::move(instance)), counter_(counter) {}
    OwnedRef instance_;
    std::uint64_t* counter_;
};

inline constexpr std::uint64_t exclusive_borrow_flag = ~std::uint64_t{0};

// tp_new of classes without a constructor.
PyObject* no_constructor_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs);

// The two tp_dealloc variants, parametrised by what the fields own.
using FieldRelease = void (*)(PyObject* self);
void dealloc_instance(PyObject* self, FieldRelease release_fields);
void dealloc_gc_instance(PyObject* self, FieldRelease release_fields);

inline void release_nothing(PyObject*) noexcept {}

template <FieldRelease Release = release_nothing>
void plain_dealloc(PyObject* self) {
    dealloc_instance(self, Release);
}
template <FieldRelease Release = release_nothing>
void gc_dealloc(PyObject* self) {
    dealloc_gc_instance(self, Release);
}

}  // namespace larkspur::binding
