// NumPy's C interface, reached at run time through its `_ARRAY_API` capsule.
//
// Contract:
//   * No link against NumPy. The first array operation imports NumPy, picks
//     `numpy._core` (2.x) or `numpy.core` (1.x) from numpy.lib.NumpyVersion,
//     and caches the table pointer for the process (the capsule is kept
//     alive forever). A failure is the internal fault "Failed to access NumPy
//     array API capsule: ..." and is retried on the next use.
//   * Array and descriptor fields are read through NumPy's published
//     layouts; the descriptor's elsize moved between API versions.
//   * array_from_vector hands a FloatVector's buffer to a new 1-D float64
//     array without copying; a PySliceContainer base object owns the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "binding/pending_error.hpp"
#include "binding/refs.hpp"

namespace larkspur::array_input {

using binding::BorrowedRef;
using binding::OwnedRef;
using binding::Result;

using npy_intp = Py_ssize_t;

inline constexpr int npy_double = 12;
inline constexpr int npy_array_c_contiguous = 0x0001;
inline constexpr int npy_array_f_contiguous = 0x0002;
inline constexpr int npy_array_writeable = 0x0400;

// NumPy's PyArrayObject_fields, identical in 1.x and 2.x.
struct ArrayFields {
    PyObject_HEAD char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
    PyObject* weakreflist;
};

[[nodiscard]] inline ArrayFields* array_fields(BorrowedRef array) noexcept {
    return reinterpret_cast<ArrayFields*>(array.get());
}

// A growable native vector of doubles (malloc-backed; see release_float_vector).
struct FloatVector {
    double* buffer = nullptr;
    std::size_t length = 0;
    std::size_t capacity = 0;

    FloatVector() = default;
    FloatVector(const FloatVector&) = delete;
    FloatVector& operator=(const FloatVector&) = delete;
    FloatVector(FloatVector&& other) noexcept;
    FloatVector& operator=(FloatVector&&) = delete;
    ~FloatVector();

    // Reserves room for `count` elements; false when memory cannot be had.
    [[nodiscard]] bool reserve(std::size_t count) noexcept;
    // Appends, growing at least twofold (smallest non-empty capacity 4).
    [[nodiscard]] bool push(double value) noexcept;
    // Gives up ownership of the buffer.
    void forget() noexcept;
};

[[nodiscard]] Result<const char*> numpy_core_name();
[[nodiscard]] Result<std::string> multiarray_module_name();
[[nodiscard]] Result<OwnedRef> import_module(const std::string& name);

// The table pointer; internal fault if NumPy's interface cannot be reached.
[[nodiscard]] void** array_api();
[[nodiscard]] unsigned array_api_version();
[[nodiscard]] PyTypeObject* array_type();
[[nodiscard]] bool is_array(BorrowedRef object);
[[nodiscard]] OwnedRef float64_descr();
[[nodiscard]] OwnedRef array_descr(BorrowedRef array);
[[nodiscard]] bool descr_equivalent(BorrowedRef a, BorrowedRef b);
// Item size of a descriptor, read with the layout of the running NumPy.
[[nodiscard]] std::int64_t descr_elsize(BorrowedRef descr);
// Running out of memory is reported as the MemoryError it is; any other
// failure to build the array is an internal fault.
[[nodiscard]] Result<OwnedRef> array_from_vector(FloatVector vector);

}  // namespace larkspur::array_input
