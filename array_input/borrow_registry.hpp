// The process-wide array-borrow registry shared by native modules.
//
// Contract:
//   * Published as the capsule "_KELP_NUMPY_BORROW_CHECKING_API" on NumPy's
//     multiarray module, pointing at a fixed 48-byte SharedBorrowApi record.
//     The first participant that needs it and finds none creates it; every
//     other participant adopts it and goes through its entry points.
//   * Entry points (state, array) -> 0 granted, -1 conflicting borrow,
//     -2 exclusive request on a read-only array. They are serialised by the
//     registry's own mutex; the caller holds the interpreter lock (on a
//     free-threaded build: has an attached thread state, and callers on
//     other threads really run at the same time). The capsule is published
//     with an atomic insert-if-absent, so racing creators agree on one.
//   * A view is identified by the root owner of its memory (base_address)
//     and a BorrowKey {start, end, data, stride gcd}. Maps never hold a zero
//     count: empty keys and empty bases are removed.
//   * Client side: acquire_shared / release_shared for this module's own
//     read-only views; setup failures are internal faults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "binding/refs.hpp"

namespace larkspur::array_input {

using binding::BorrowedRef;

inline constexpr char borrow_capsule_name[] = "_KELP_NUMPY_BORROW_CHECKING_API";

struct SharedBorrowApi {
    std::uint64_t version;
    void* state;
    int (*acquire)(void* state, PyObject* array);
    int (*acquire_mut)(void* state, PyObject* array);
    void (*release)(void* state, PyObject* array);
    void (*release_mut)(void* state, PyObject* array);
};
static_assert(sizeof(SharedBorrowApi) == 48, "the capsule record layout is an inter-module protocol");

struct BorrowKey {
    std::uintptr_t start;
    std::uintptr_t end;
    std::uintptr_t data;
    std::intptr_t stride_gcd;

    friend bool operator==(const BorrowKey&, const BorrowKey&) = default;
};

struct BorrowKeyHash {
    std::size_t operator()(const BorrowKey& key) const noexcept;
};

// The owner of an array's memory: the root array, or the first non-array base.
[[nodiscard]] PyObject* base_address(BorrowedRef array);
[[nodiscard]] BorrowKey borrow_key(BorrowedRef array);
// Whether two views may address a common element (over-approximated).
[[nodiscard]] bool conflicts(const BorrowKey& a, const BorrowKey& b) noexcept;

enum class BorrowOutcome { Granted, AlreadyBorrowed };
[[nodiscard]] BorrowOutcome acquire_shared(BorrowedRef array);
void release_shared(BorrowedRef array);

}  // namespace larkspur::array_input
