// EscancianoLobato, the result class: its instance layout and lazily created
// type object. Instances exist only fully filled: the constructor computes
// the test first and allocates afterwards.
#pragma once

#include <cstdint>

#include "binding/class_type.hpp"

namespace larkspur::lib {

struct EscancianoLobatoObject {
    PyObject_HEAD std::uint64_t p_tilde;
    double statistic;
    double pvalue;
    std::uint64_t borrow_counter;
};
// After the object header (two words with the interpreter lock, more on a
// free-threaded build) four 8-byte fields, unpadded.
static_assert(sizeof(EscancianoLobatoObject) == sizeof(PyObject) + 32);

[[nodiscard]] binding::LazyType& escanciano_lobato_type();

// The class's creation slot (defined with the constructor).
PyObject* escanciano_lobato_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs);

}  // namespace larkspur::lib
