#include "array_input/numpy_api.hpp"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "binding/arguments.hpp"
#include "binding/class_type.hpp"
#include "binding/fault.hpp"
#include "binding/once_cell.hpp"

namespace larkspur::array_input {
namespace {

using binding::expect_object;
using binding::fetch_or_system_error;
using binding::InternalFault;
using binding::OnceCell;
using binding::PendingError;

// Slots of NumPy's published API table.
constexpr std::size_t slot_array_type = 2;
constexpr std::size_t slot_descr_from_type = 45;
constexpr std::size_t slot_new_from_descr = 94;
constexpr std::size_t slot_equiv_types = 182;
constexpr std::size_t slot_feature_version = 211;
constexpr std::size_t slot_set_base_object = 282;

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const npy_intp*, const npy_intp*, void*, int,
                                   PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
using FeatureVersion = unsigned (*)();
using SetBaseObject = int (*)(PyObject*, PyObject*);

template <class Function>
Function api_entry(std::size_t slot) {
    return reinterpret_cast<Function>(array_api()[slot]);
}

// NumPy 1.x and 2.x descriptor heads; only elsize is read.
struct DescrFieldsV1 {
    PyObject_HEAD PyTypeObject* typeobj;
    char kind, type, byteorder, flags;
    int type_num;
    int elsize;
};
struct DescrFieldsV2 {
    PyObject_HEAD PyTypeObject* typeobj;
    char kind, type, byteorder, former_flags;
    int type_num;
    std::uint64_t flags;
    npy_intp elsize;
};

OnceCell<const char*> core_name_cell;
OnceCell<std::string> multiarray_name_cell;
OnceCell<OwnedRef> api_capsule_cell;
OnceCell<void**> api_table_cell;
OnceCell<unsigned> api_version_cell;

Result<OwnedRef> get_attribute(BorrowedRef object, const char* name) {
    OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(object.get(), name));
    if (!value) return std::unexpected(fetch_or_system_error());
    return value;
}

Result<const char*> read_numpy_core_name() {
    auto numpy = import_module("numpy");
    if (!numpy) return std::unexpected(std::move(numpy.error()));
    auto version = get_attribute(numpy->borrow(), "__version__");
    if (!version) return std::unexpected(std::move(version.error()));
    auto lib = import_module("numpy.lib");
    if (!lib) return std::unexpected(std::move(lib.error()));
    auto numpy_version = get_attribute(lib->borrow(), "NumpyVersion");
    if (!numpy_version) return std::unexpected(std::move(numpy_version.error()));
    const OwnedRef parsed = OwnedRef::steal(PyObject_CallOneArg(numpy_version->get(), version->get()));
    if (!parsed) return std::unexpected(fetch_or_system_error());
    auto major_object = get_attribute(parsed.borrow(), "major");
    if (!major_object) return std::unexpected(std::move(major_object.error()));
    auto major = binding::extract_u8(major_object->borrow());
    if (!major) return std::unexpected(std::move(major.error()));
    return *major >= 2 ? "numpy._core" : "numpy.core";
}

Result<void**> read_array_api() {
    auto module_name = multiarray_module_name();
    if (!module_name) return std::unexpected(std::move(module_name.error()));
    auto module = import_module(*module_name);
    if (!module) return std::unexpected(std::move(module.error()));
    auto capsule = get_attribute(module->borrow(), "_ARRAY_API");
    if (!capsule) return std::unexpected(std::move(capsule.error()));
    if (!Py_IS_TYPE(capsule->get(), &PyCapsule_Type)) {
        return std::unexpected(binding::conversion_error(capsule->borrow(), "PyCapsule"));
    }
    const char* name = PyCapsule_GetName(capsule->get());
    if (name == nullptr) PyErr_Clear();
    void* pointer = PyCapsule_GetPointer(capsule->get(), name);
    if (pointer == nullptr) PyErr_Clear();
    api_capsule_cell.store(std::move(*capsule));
    return static_cast<void**>(pointer);
}

// ---- PySliceContainer -----------------------------------------------------------

using ReleaseRoutine = void (*)(void* buffer, std::size_t length, std::size_t capacity);

struct SliceContainer {
    PyObject_HEAD ReleaseRoutine release;
    void* buffer;
    std::size_t length;
    std::size_t capacity;
};
// The object header is two words with the interpreter lock and larger
// without it (free-threaded builds add the owning thread and shared counts);
// the fields follow it with no padding either way.
static_assert(offsetof(SliceContainer, release) == sizeof(PyObject));
static_assert(sizeof(SliceContainer) == sizeof(PyObject) + 4 * sizeof(void*));

void release_float_vector(void* buffer, std::size_t, std::size_t capacity) {
    if (capacity != 0) std::free(buffer);
}

void release_container_fields(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    container->release(container->buffer, container->length, container->capacity);
}

binding::LazyType& slice_container_type() {
    static binding::LazyType type(
        binding::ClassDescription{"PySliceContainer",
                                  nullptr,
                                  &PyBaseObject_Type,
                                  sizeof(SliceContainer),
                                  "Utility type that safely stores a native buffer or vector on the Python heap.",
                                  nullptr,
                                  false,
                                  {},
                                  {},
                                  binding::plain_dealloc<release_container_fields>,
                                  binding::gc_dealloc<release_container_fields>,
                                  0});
    return type;
}

}  // namespace

FloatVector::FloatVector(FloatVector&& other) noexcept
    : buffer(std::exchange(other.buffer, nullptr)),
      length(std::exchange(other.length, 0)),
      capacity(std::exchange(other.capacity, 0)) {}

FloatVector::~FloatVector() { release_float_vector(buffer, length, capacity); }

bool FloatVector::reserve(std::size_t count) noexcept {
    if (count <= capacity) return true;
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(double)) return false;
    void* grown = std::realloc(buffer, count * sizeof(double));
    if (grown == nullptr) return false;
    buffer = static_cast<double*>(grown);
    capacity = count;
    return true;
}

bool FloatVector::push(double value) noexcept {
    if (length == capacity) {
        const std::size_t doubled =
            capacity > std::numeric_limits<std::size_t>::max() / 2 ? capacity + 1 : capacity * 2;
        if (!reserve(doubled < 4 ? 4 : doubled)) return false;
    }
    buffer[length++] = value;
    return true;
}

void FloatVector::forget() noexcept {
    buffer = nullptr;
    length = 0;
    capacity = 0;
}

Result<OwnedRef> import_module(const std::string& name) {
    const OwnedRef text = expect_object(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    OwnedRef module = OwnedRef::steal(PyImport_Import(text.get()));
    if (!module) return std::unexpected(fetch_or_system_error());
    return module;
}

Result<const char*> numpy_core_name() {
    if (const char* const* cached = core_name_cell.get()) return *cached;
    auto name = read_numpy_core_name();
    if (!name) return name;
    return core_name_cell.store(*name);
}

Result<std::string> multiarray_module_name() {
    if (const std::string* cached = multiarray_name_cell.get()) return *cached;
    auto core = numpy_core_name();
    if (!core) return std::unexpected(std::move(core.error()));
    return multiarray_name_cell.store(std::string(*core) + ".multiarray");
}

void** array_api() {
    if (void** const* cached = api_table_cell.get()) return *cached;
    return api_table_cell.store(binding::expect_success(read_array_api(), "Failed to access NumPy array API capsule"));
}

unsigned array_api_version() {
    if (const unsigned* cached = api_version_cell.get()) return *cached;
    return api_version_cell.store(api_entry<FeatureVersion>(slot_feature_version)());
}

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(array_api()[slot_array_type]); }

bool is_array(BorrowedRef object) {
    PyTypeObject* type = array_type();
    return object.type() == type || PyType_IsSubtype(object.type(), type) != 0;
}

OwnedRef float64_descr() { return expect_object(api_entry<DescrFromType>(slot_descr_from_type)(npy_double)); }

OwnedRef array_descr(BorrowedRef array) {
    PyObject* descr = array_fields(array)->descr;
    if (descr == nullptr) binding::api_call_failed();
    return OwnedRef::new_reference(descr);
}

bool descr_equivalent(BorrowedRef a, BorrowedRef b) {
    return a.get() == b.get() || api_entry<EquivTypes>(slot_equiv_types)(a.get(), b.get()) != 0;
}

std::int64_t descr_elsize(BorrowedRef descr) {
    if (array_api_version() > 17) {
        return reinterpret_cast<const DescrFieldsV2*>(descr.get())->elsize;
    }
    return reinterpret_cast<const DescrFieldsV1*>(descr.get())->elsize;
}

Result<OwnedRef> array_from_vector(FloatVector vector) {
    PyTypeObject* container_type = slice_container_type().get();
    auto allocated = binding::allocate_instance(container_type, &PyBaseObject_Type);
    if (!allocated) {
        FloatVector dropped(std::move(vector));
        if (binding::is_memory_error(allocated.error())) return std::unexpected(std::move(allocated.error()));
        binding::fault_with_error("Failed to create slice container", std::move(allocated.error()));
    }
    OwnedRef container = std::move(*allocated);
    auto* fields = reinterpret_cast<SliceContainer*>(container.get());
    fields->release = release_float_vector;
    fields->buffer = vector.buffer;
    fields->length = vector.length;
    fields->capacity = vector.capacity;
    vector.forget();  // the container owns the buffer from here on

    const npy_intp dimensions[1] = {static_cast<npy_intp>(fields->length)};
    const npy_intp strides[1] = {static_cast<npy_intp>(sizeof(double))};
    OwnedRef descr = float64_descr();
    OwnedRef array = OwnedRef::steal(api_entry<NewFromDescr>(slot_new_from_descr)(
        array_type(), descr.release(), 1, dimensions, strides, fields->buffer, npy_array_writeable, nullptr));
    if (!array) {
        container = OwnedRef();  // frees the buffer
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return std::unexpected(fetch_or_system_error());
        binding::api_call_failed();
    }
    (void)api_entry<SetBaseObject>(slot_set_base_object)(array.get(), container.release());
    return array;
}

}  // namespace larkspur::array_input
