// q and d as the test's callers give them: None or absent means the default
// (q = 2.4, d = floor(n^0.2) per series). Converted and checked in the
// class's order: q's conversion, d's conversion, then q > 0. Shared by the
// class and the batch module so both raise the same errors.
#pragma once

#include <cstdint>
#include <optional>

#include "binding/pending_error.hpp"
#include "binding/refs.hpp"

namespace larkspur::lib {

// The penalty constant when q is not given: the one definition every entry
// point (and the companion, through the batch module) uses.
inline constexpr double default_q = 2.4;

struct TestParameters {
    double q;
    std::optional<std::uint64_t> d;
};

// `q` and `d` may be null (not passed) or None.
[[nodiscard]] binding::Result<TestParameters> test_parameters(PyObject* q, PyObject* d);

}  // namespace larkspur::lib
