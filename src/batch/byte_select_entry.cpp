// _select_by_byte, private to the wild bootstrap's Mammen weights:
// select_by_byte (src/batch/byte_select.hpp) over buffers. octets a
// C-contiguous 2-D uint8 buffer (rows, at least n), products a C-contiguous
// int64 buffer of shape (2, n), out a writable C-contiguous int64 buffer of
// shape (rows, n) overlapping neither, threshold an int from 0 to 255. It
// returns the tied positions as a bytearray of int64 (native order); out's
// row r value i is then products[0, i] for a byte below the threshold and
// products[1, i] otherwise. A buffer of another kind is a TypeError, shapes
// that do not fit or overlap a ValueError. The lock stays held: a call is
// one block of the bootstrap, a few milliseconds.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/buffer_view.hpp"
#include "src/batch/byte_columns.hpp"
#include "src/batch/byte_select.hpp"
#include "src/batch/entry_point.hpp"
#include "src/batch/entry_points.hpp"

namespace larkspur::batch {
namespace {

using binding::BorrowedRef;
using binding::OwnedRef;
using binding::PendingError;
using binding::Result;

constexpr std::string_view octets_wanted = "octets must be a C-contiguous 2-D uint8 array";
constexpr std::string_view products_wanted = "products must be a C-contiguous 2-D int64 array of two rows";
constexpr std::string_view out_wanted = "out must be a writable C-contiguous 2-D int64 array";
constexpr std::string_view shapes_unfit =
    "out must have octets' rows and products' columns, and octets at least as many columns";
constexpr std::string_view overlapping_out = "out must not overlap octets or products";

// A C-contiguous 2-D buffer of `object` whose items are one of the struct
// codes `codes` (native order) of `itemsize` bytes, or a TypeError `wanted`.
binding::Status matrix_buffer(binding::BufferView& buffer, BorrowedRef object, int flags, std::string_view codes,
                              Py_ssize_t itemsize, std::string_view wanted) {
    if (auto acquired = buffer.acquire(object, flags); !acquired) {
        return std::unexpected(PendingError::with_message(PyExc_TypeError, std::string(wanted)));
    }
    const Py_buffer& view = buffer.view();
    std::string_view format = view.format != nullptr ? view.format : "B";
    if (format.starts_with('@')) format.remove_prefix(1);
    if (view.ndim != 2 || view.itemsize != itemsize || format.size() != 1 ||
        codes.find(format.front()) == std::string_view::npos || PyBuffer_IsContiguous(&view, 'C') == 0) {
        return std::unexpected(PendingError::with_message(PyExc_TypeError, std::string(wanted)));
    }
    return {};
}

bool overlap(const Py_buffer& a, const Py_buffer& b) noexcept {
    const auto* a_start = static_cast<const unsigned char*>(a.buf);
    const auto* b_start = static_cast<const unsigned char*>(b.buf);
    return a.len > 0 && b.len > 0 && a_start < b_start + b.len && b_start < a_start + a.len;
}

Result<OwnedRef> select_by_byte_call(std::span<PyObject* const> slots) {
    binding::BufferView octets;
    binding::BufferView products;
    binding::BufferView out;
    if (auto got = matrix_buffer(octets, BorrowedRef(slots[0]), PyBUF_RECORDS_RO, "B", 1, octets_wanted); !got) {
        return std::unexpected(std::move(got.error()));
    }
    if (auto got = matrix_buffer(products, BorrowedRef(slots[1]), PyBUF_RECORDS_RO, "ql", 8, products_wanted); !got) {
        return std::unexpected(std::move(got.error()));
    }
    if (auto got = matrix_buffer(out, BorrowedRef(slots[2]), PyBUF_RECORDS, "ql", 8, out_wanted); !got) {
        return std::unexpected(std::move(got.error()));
    }
    auto threshold = binding::extract_u8(BorrowedRef(slots[3]));
    if (!threshold) return std::unexpected(binding::wrap_argument_error("threshold", std::move(threshold.error())));

    const Py_buffer& bytes = octets.view();
    const Py_buffer& choices = products.view();
    const Py_buffer& target = out.view();
    if (choices.shape[0] != 2) {
        return std::unexpected(PendingError::with_message(PyExc_TypeError, std::string(products_wanted)));
    }
    const Py_ssize_t rows = target.shape[0];
    const Py_ssize_t n = target.shape[1];
    if (bytes.shape[0] != rows || choices.shape[1] != n || bytes.shape[1] < n) {
        return std::unexpected(PendingError::with_message(PyExc_ValueError, std::string(shapes_unfit)));
    }
    if (overlap(target, bytes) || overlap(target, choices)) {
        return std::unexpected(PendingError::with_message(PyExc_ValueError, std::string(overlapping_out)));
    }
    const auto* words = static_cast<const std::int64_t*>(choices.buf);
    const std::vector<std::int64_t> tied = select_by_byte(
        ByteSelection{static_cast<const std::uint8_t*>(bytes.buf), static_cast<std::size_t>(bytes.shape[1]), words,
                      words + n, static_cast<std::int64_t*>(target.buf), static_cast<std::size_t>(rows),
                      static_cast<std::size_t>(n), *threshold});
    return column_of(tied);
}

constexpr std::string_view select_names[] = {"octets", "products", "out", "threshold"};
constexpr binding::ParameterSpec select_by_byte_spec{std::nullopt, "_select_by_byte", select_names, 4, 4, {}};

}  // namespace

const PyMethodDef select_by_byte_method = keyword_method<select_by_byte_spec, select_by_byte_call>(
    "_select_by_byte(octets, products, out, threshold, /)\n--\n\n"
    "Private to the wild bootstrap: out[r, i] = products[0, i] where octets[r, i] < threshold, else\n"
    "products[1, i]; returns the flat positions of bytes equal to the threshold (int64 bytes).");

}  // namespace larkspur::batch
