// load_element: element i of a run of binary64 values at any address.
//
// A series handed over by NumPy need not be 8-byte aligned, and forming a
// misaligned double* is undefined; memcpy is defined for any alignment and
// compiles to one plain (unaligned) load.
#pragma once

#include <cstdint>
#include <cstring>

namespace larkspur::statistical_tests {

[[nodiscard]] inline double load_element(const unsigned char* series, std::uint64_t index) noexcept {
    double value;
    std::memcpy(&value, series + index * sizeof(double), sizeof value);
    return value;
}

}  // namespace larkspur::statistical_tests
