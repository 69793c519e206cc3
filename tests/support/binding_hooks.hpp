// Test-only hook of the binding runtime (binding/interpreter_guard.cpp
// defines it; no product code calls it).
#pragma once

namespace larkspur::binding {

// Sets this thread's lock depth, which is otherwise only changed by the
// boundary and lock operations of interpreter_guard.hpp.
void set_lock_depth(int depth) noexcept;

}  // namespace larkspur::binding
