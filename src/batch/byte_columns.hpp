// Output columns handed to Python as bytearrays of 8-byte values in native
// order (the companion reads them with numpy.frombuffer).
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "binding/pending_error.hpp"
#include "binding/refs.hpp"

namespace larkspur::batch {

// A bytearray of count * 8 uninitialised bytes (MemoryError beyond what can be addressed).
[[nodiscard]] binding::Result<binding::OwnedRef> byte_column(std::uint64_t count);

[[nodiscard]] unsigned char* column_data(const binding::OwnedRef& column) noexcept;

// A tuple of the objects, which it takes over (the vector is left empty).
[[nodiscard]] binding::Result<binding::OwnedRef> tuple_of(std::vector<binding::OwnedRef>& items);

// A bytearray holding the values.
template <class Value>
[[nodiscard]] binding::Result<binding::OwnedRef> column_of(const std::vector<Value>& values) {
    static_assert(sizeof(Value) == 8);
    binding::Result<binding::OwnedRef> column = byte_column(values.size());
    if (column && !values.empty()) std::memcpy(column_data(*column), values.data(), values.size() * sizeof(Value));
    return column;
}

}  // namespace larkspur::batch
