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
//   * view_float64_array reports "not applicable" (std::nullopt) for
//     arguments it does not fit. view_via_to_numpy does the same when
//     to_numpy returns something else, and returns the error when to_numpy
//     raises; copy_float_sequence returns an error value. The caller decides
//     with ends_conversion() whether an error is reported or only means the
//     route does not apply. A borrow conflict in any route is an internal
//     fault.
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

// Interrupts and exits (exceptions outside Exception, e.g. KeyboardInterrupt,
// SystemExit) and running out of memory (MemoryError and its subclasses) end
// the conversion at once and reach the caller unchanged; any other failure of
// a route only means that the route does not apply. Never instantiates.
[[nodiscard]] bool ends_conversion(const binding::PendingError& error);

[[nodiscard]] std::optional<SeriesView> view_float64_array(BorrowedRef object);
[[nodiscard]] Result<std::optional<SeriesView>> view_via_to_numpy(BorrowedRef object);
[[nodiscard]] Result<FloatVector> extract_float_vector(BorrowedRef object);
[[nodiscard]] Result<SeriesView> copy_float_sequence(BorrowedRef object);

}  // namespace larkspur::array_input
