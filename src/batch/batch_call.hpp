// run_series_test: the part of every many-series entry point that does not
// depend on the test. After the entry has checked its own options (before
// anything else, as the class does), it reads `axis`, `threads` and
// `stop_at_first_failure`, then the series (batch_input), runs the test
// record on them without the interpreter lock, looking for interrupts
// about every 50 ms on the calling thread, and returns
//
//   (column_0, ..., column_{k-1}, failures)
//
// with one bytearray column per word of the test's row and failures a list
// of (index, exception class, message) in index order. threads must be a
// positive integer ("threads must be positive"); more than 1024 are 1024.
#pragma once

#include <cstddef>

#include "binding/pending_error.hpp"
#include "binding/refs.hpp"
#include "src/batch/series_test.hpp"

namespace larkspur::batch {

struct BatchCall {
    PyObject* values;
    PyObject* axis;
    PyObject* threads;
    PyObject* stop_at_first_failure;
};

[[nodiscard]] binding::Result<binding::OwnedRef> run_series_test(const SeriesTest& test, std::size_t columns,
                                                                 const BatchCall& call);

}  // namespace larkspur::batch
