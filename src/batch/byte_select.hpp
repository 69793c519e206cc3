// select_by_byte: rows of 64-bit words chosen value by value between two
// fixed rows by one random byte each (the Mammen weights' selection). Plain
// C++; no interpreter is touched.
//
// Contract:
//   * out[r n + i] = below[i] when octets[r stride + i] < threshold, else
//     otherwise[i], for r < rows and i < n (stride >= n; the bytes past n in
//     each row are not read). The words are chosen bitwise, never computed
//     as numbers: the result has the very bits of the chosen row.
//   * Returns the flat positions r n + i whose byte equals the threshold,
//     ascending (replicate, then value): the caller decides those, which
//     hold otherwise[i] until it does.
//   * `out` must not overlap the inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace larkspur::batch {

struct ByteSelection {
    const std::uint8_t* octets;
    std::size_t stride;  // bytes from one row of octets to the next
    const std::int64_t* below;
    const std::int64_t* otherwise;
    std::int64_t* out;
    std::size_t rows;
    std::size_t n;
    std::uint8_t threshold;
};

[[nodiscard]] std::vector<std::int64_t> select_by_byte(const ByteSelection& selection);

}  // namespace larkspur::batch
