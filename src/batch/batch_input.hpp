// BatchInput: the series of an el_many call, located in the caller's arrays.
//
// Contract:
//   * Accepts a 2-D float64 ndarray whose `axis` (0 or 1) runs over time,
//     any strides and order, or a list or tuple of 1-D float64 ndarrays of
//     any lengths and strides; anything else is a TypeError (the Python
//     layer converts other inputs before calling).
//   * Holds a strong reference and a shared borrow of every array it reads
//     from creation to destruction, which needs the interpreter lock; the
//     series' memory is then read without it. A refused borrow is the same
//     internal fault as in the extension.
#pragma once

#include <vector>

#include "binding/pending_error.hpp"
#include "binding/refs.hpp"
#include "src/batch/batch_runner.hpp"

namespace larkspur::batch {

class BorrowedArray {
public:
    explicit BorrowedArray(binding::OwnedRef array);
    BorrowedArray(BorrowedArray&& other) noexcept = default;
    BorrowedArray& operator=(BorrowedArray&&) = delete;
    BorrowedArray(const BorrowedArray&) = delete;
    BorrowedArray& operator=(const BorrowedArray&) = delete;
    ~BorrowedArray();

private:
    binding::OwnedRef array_;
};

struct BatchInput {
    std::vector<BorrowedArray> arrays;
    std::vector<SeriesSpec> series;
};

[[nodiscard]] binding::Result<BatchInput> batch_input(binding::BorrowedRef values, unsigned axis);

// One series given alone (a 1-D float64 ndarray), as a batch of one: held
// by reference and shared borrow while it is read.
[[nodiscard]] binding::Result<BatchInput> single_series_input(binding::BorrowedRef values);

}  // namespace larkspur::batch
