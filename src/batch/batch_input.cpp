#include "src/batch/batch_input.hpp"

#include "binding/python.hpp"

#include <string>

#include "array_input/borrow_registry.hpp"
#include "array_input/numpy_api.hpp"
#include "binding/fault.hpp"

namespace larkspur::batch {
namespace {

using array_input::array_fields;
using binding::BorrowedRef;
using binding::OwnedRef;
using binding::PendingError;
using binding::Result;

constexpr char already_borrowed_fault[] = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed";
constexpr char wrong_values[] = "values must be a 2-D float64 ndarray or a list of 1-D float64 ndarrays";

bool is_float64_array(BorrowedRef object, int dimensions) {
    if (!array_input::is_array(object) || array_fields(object)->nd != dimensions) return false;
    const OwnedRef own = array_input::array_descr(object);
    const OwnedRef float64 = array_input::float64_descr();
    return array_input::descr_equivalent(own.borrow(), float64.borrow());
}

const unsigned char* data_of(BorrowedRef array) noexcept {
    return reinterpret_cast<const unsigned char*>(array_fields(array)->data);
}

}  // namespace

BorrowedArray::BorrowedArray(OwnedRef array) : array_(std::move(array)) {
    if (array_input::acquire_shared(array_.borrow()) != array_input::BorrowOutcome::Granted) {
        array_ = OwnedRef();
        throw binding::InternalFault(already_borrowed_fault);
    }
}

BorrowedArray::~BorrowedArray() {
    // A thread the interpreter is ending (forced unwind on taking the lock
    // back) has no thread state: the borrow, like the reference, is left to
    // the dying interpreter rather than touched without the lock.
    if (array_ && binding::current_thread_state() != nullptr) array_input::release_shared(array_.borrow());
}

Result<BatchInput> batch_input(BorrowedRef values, unsigned axis) {
    (void)array_input::array_api();  // the first use sets NumPy up
    BatchInput input;
    if (is_float64_array(values, 2)) {
        if (axis > 1) return std::unexpected(PendingError::with_message(PyExc_ValueError, "axis must be 0 or 1"));
        const auto& fields = *array_fields(values);
        const unsigned across = 1 - axis;
        const auto count = static_cast<std::uint64_t>(fields.dimensions[across]);
        const auto length = static_cast<std::uint64_t>(fields.dimensions[axis]);
        input.arrays.emplace_back(values.to_owned());
        input.series.reserve(count);
        const unsigned char* first = data_of(values);
        for (std::uint64_t i = 0; i < count; ++i) {
            input.series.push_back(SeriesSpec{first + static_cast<std::ptrdiff_t>(i) * fields.strides[across], length,
                                              fields.strides[axis]});
        }
        return input;
    }
    if (!PyList_Check(values.get()) && !PyTuple_Check(values.get())) {
        return std::unexpected(PendingError::with_message(PyExc_TypeError, wrong_values));
    }
    // A strong reference per item: the list may change while the lock is released.
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(values.get());
    input.arrays.reserve(static_cast<std::size_t>(count));
    input.series.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        const BorrowedRef item(PySequence_Fast_GET_ITEM(values.get(), i));
        if (!is_float64_array(item, 1)) {
            return std::unexpected(PendingError::with_message(PyExc_TypeError, wrong_values));
        }
        const auto& fields = *array_fields(item);
        input.arrays.emplace_back(item.to_owned());
        input.series.push_back(
            SeriesSpec{data_of(item), static_cast<std::uint64_t>(fields.dimensions[0]), fields.strides[0]});
    }
    return input;
}

Result<BatchInput> single_series_input(BorrowedRef values) {
    OwnedRef single = OwnedRef::steal(PyTuple_Pack(1, values.get()));
    if (!single) return std::unexpected(binding::fetch_or_system_error());
    return batch_input(single.borrow(), 0);
}

}  // namespace larkspur::batch
