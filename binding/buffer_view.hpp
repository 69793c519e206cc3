// BufferView: one buffer exported by an object (the buffer protocol), held
// from acquire() to destruction.
//
// Contract:
//   * acquire() asks `object` for its buffer with the given PyBUF_* flags and
//     returns the interpreter's exception as an error value when it refuses;
//     once granted, the destructor releases the buffer on every exit path.
//   * Neither copyable nor movable: an exporter may point the view's shape
//     into the Py_buffer itself (PyBuffer_FillInfo does), so it stays where
//     it was filled.
//   * Releasing needs the interpreter lock, like dropping an OwnedRef: a
//     thread without a thread state (one CPython ends at shutdown) leaves the
//     export to the dying interpreter.
#pragma once

#include "binding/pending_error.hpp"
#include "binding/python.hpp"
#include "binding/refs.hpp"

namespace larkspur::binding {

class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_ && current_thread_state() != nullptr) PyBuffer_Release(&view_);
    }

    // At most once per view.
    [[nodiscard]] Status acquire(BorrowedRef object, int flags) {
        if (PyObject_GetBuffer(object.get(), &view_, flags) < 0) return std::unexpected(fetch_or_system_error());
        held_ = true;
        return {};
    }
    [[nodiscard]] const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace larkspur::binding
