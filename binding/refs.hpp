// OwnedRef and BorrowedRef: the only holders of PyObject* in this code base.
//
// Ownership rules, stated once:
//   * OwnedRef owns one strong reference. It is move-only; its destructor
//     drops the reference (Py_XDECREF), so every exit path, error paths
//     included, releases what it owns. It is built only through named
//     constructors: steal() takes over a new reference returned by the C API,
//     new_reference() adds a reference to a borrowed pointer.
//   * BorrowedRef is a non-owning view, valid only while someone else keeps
//     the object alive (an argument tuple, an OwnedRef, the interpreter).
//   * Neither converts implicitly to PyObject*: get() is spelled out at the
//     C API edge, release() hands a reference over to the interpreter.
//   * Dropping an OwnedRef requires the interpreter lock, like any decref.
//     A thread without it (one that CPython ends by unwinding its stack
//     while it waits for the lock at shutdown) leaves the reference to the
//     dying interpreter instead of touching the count unlocked.
#pragma once

#include <utility>

#include "binding/python.hpp"

namespace larkspur::binding {

class OwnedRef;

class BorrowedRef {
public:
    constexpr BorrowedRef() noexcept = default;
    constexpr explicit BorrowedRef(PyObject* object) noexcept : ptr_(object) {}

    [[nodiscard]] constexpr PyObject* get() const noexcept { return ptr_; }
    [[nodiscard]] constexpr explicit operator bool() const noexcept { return ptr_ != nullptr; }
    [[nodiscard]] PyTypeObject* type() const noexcept { return Py_TYPE(ptr_); }
    [[nodiscard]] inline OwnedRef to_owned() const noexcept;

private:
    PyObject* ptr_ = nullptr;
};

class OwnedRef {
public:
    constexpr OwnedRef() noexcept = default;
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            drop(std::exchange(ptr_, std::exchange(other.ptr_, nullptr)));
        }
        return *this;
    }
    ~OwnedRef() { drop(ptr_); }

    // Takes over a new reference (possibly null: the C API's failure value).
    [[nodiscard]] static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
    // Adds a strong reference to a borrowed pointer (possibly null).
    [[nodiscard]] static OwnedRef new_reference(PyObject* object) noexcept {
        Py_XINCREF(object);
        return OwnedRef(object);
    }

    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    [[nodiscard]] BorrowedRef borrow() const noexcept { return BorrowedRef(ptr_); }
    [[nodiscard]] explicit operator bool() const noexcept { return ptr_ != nullptr; }
    [[nodiscard]] PyTypeObject* type() const noexcept { return Py_TYPE(ptr_); }
    // Hands the reference to the caller (typically the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

private:
    explicit OwnedRef(PyObject* object) noexcept : ptr_(object) {}
    // In a GIL build a thread holds the lock exactly while it has a current
    // thread state.
    static void drop(PyObject* object) noexcept {
        if (object != nullptr && current_thread_state() != nullptr) {
            Py_DECREF(object);
        }
    }
    PyObject* ptr_ = nullptr;
};

inline OwnedRef BorrowedRef::to_owned() const noexcept { return OwnedRef::new_reference(ptr_); }

}  // namespace larkspur::binding
