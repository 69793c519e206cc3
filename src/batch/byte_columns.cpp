#include "src/batch/byte_columns.hpp"

#include <limits>

namespace larkspur::batch {

using binding::OwnedRef;
using binding::PendingError;

binding::Result<OwnedRef> byte_column(std::uint64_t count) {
    if (count > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max() / 8)) {
        return std::unexpected(PendingError::no_memory());
    }
    OwnedRef column = OwnedRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * 8)));
    if (!column) return std::unexpected(binding::fetch_or_system_error());
    return column;
}

binding::Result<OwnedRef> tuple_of(std::vector<OwnedRef>& items) {
    OwnedRef tuple = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return std::unexpected(binding::fetch_or_system_error());
    for (std::size_t k = 0; k < items.size(); ++k) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), items[k].release());
    }
    items.clear();
    return tuple;
}

unsigned char* column_data(const OwnedRef& column) noexcept {
    return reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(column.get()));
}

}  // namespace larkspur::batch
