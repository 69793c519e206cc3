// SeriesView: a read-only handle on a 1-D float64 NumPy array, and the three
// routes that turn a caller's object into one.
//
// Contract:
//   * A view owns one reference to its array and one shared borrow of it in
//     the borrow registry, from creation until release (borrow first, then
//     the reference). release() is idempotent and the destructor calls it,
//     so every exit path gives both back.
//   * contiguous_values() yields (pointer, length) only when the array's
//     flags say C- or F-contiguous. The pointer may be unaligned.
//   * view_float64_array and view_via_to_numpy report "not applicable"
//     (std::nullopt) for arguments they do not fit, leaving no error set;
//     copy_float_sequence returns an error value. A borrow conflict in any
//     route is an internal fault.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>

#include "array_input/numpy_api.hpp"
#include "binding/pending_error.hpp"
#include "binding/refs.hpp"

namespace larkspur::array_input {

struct ContiguousValues {
    const void* data;  // first element; not necessarily 8-byte aligned
    std::uint64_t length;
};

struct NotContiguousError {};

class SeriesView {
public:
    SeriesView(SeriesView&& other) noexcept;
    SeriesView& operator=(SeriesView&&) = delete;
    SeriesView(const SeriesView&) = delete;
    SeriesView& operator=(const SeriesView&) = delete;
    ~SeriesView();

    [[nodiscard]] std::expected<ContiguousValues, NotContiguousError> contiguous_values() const noexcept;
    void release() noexcept;

    // Takes the shared borrow; internal fault when it is refused.
    [[nodiscard]] static SeriesView borrow(OwnedRef array);

private:
    SeriesView(OwnedRef array, const void* data, std::uint64_t length) noexcept
        : array_(std::move(array)), data_(data), length_(length) {}

    OwnedRef array_;
    const void* data_;
    std::uint64_t length_;
};

[[nodiscard]] std::optional<SeriesView> view_float64_array(BorrowedRef object);
[[nodiscard]] std::optional<SeriesView> view_via_to_numpy(BorrowedRef object);
[[nodiscard]] Result<FloatVector> extract_float_vector(BorrowedRef object);
[[nodiscard]] Result<SeriesView> copy_float_sequence(BorrowedRef object);

}  // namespace larkspur::array_input
