#include "array_input/series_view.hpp"

#include <algorithm>

#include "binding/arguments.hpp"
#include "array_input/borrow_registry.hpp"
#include "binding/fault.hpp"
#include "binding/once_cell.hpp"

namespace larkspur::array_input {
namespace {

using binding::fetch_or_system_error;
using binding::InternalFault;
using binding::PendingError;

constexpr char already_borrowed_fault[] = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed";
constexpr char str_refused_message[] = "a str cannot be extracted into a vector of floats";
// A length reported by __len__ only pre-sizes the copy; an absurd one must
// not turn into an absurd reservation.
constexpr std::size_t max_capacity_hint = std::size_t{1} << 24;

std::uint64_t element_count(const ArrayFields& fields) {
    std::uint64_t count = 1;
    for (int i = 0; i < fields.nd; ++i) count *= static_cast<std::uint64_t>(fields.dimensions[i]);
    return count;
}

bool is_float64_vector(BorrowedRef object) {
    if (!is_array(object)) return false;
    if (array_fields(object)->nd != 1) return false;
    const OwnedRef own = array_descr(object);
    const OwnedRef float64 = float64_descr();
    return descr_equivalent(own.borrow(), float64.borrow());
}

}  // namespace

SeriesView::SeriesView(SeriesView&& other) noexcept
    : array_(std::move(other.array_)), data_(other.data_), length_(other.length_) {}

SeriesView::~SeriesView() { release(); }

void SeriesView::release() noexcept {
    if (array_) {
        release_shared(array_.borrow());
        array_ = OwnedRef();
    }
}

std::expected<ContiguousValues, NotContiguousError> SeriesView::contiguous_values() const noexcept {
    if ((array_fields(array_.borrow())->flags & (npy_array_c_contiguous | npy_array_f_contiguous)) == 0) {
        return std::unexpected(NotContiguousError{});
    }
    return ContiguousValues{data_, length_};
}

SeriesView SeriesView::borrow(OwnedRef array) {
    if (acquire_shared(array.borrow()) != BorrowOutcome::Granted) {
        throw InternalFault(already_borrowed_fault);
    }
    const ArrayFields& fields = *array_fields(array.borrow());
    const std::uint64_t length = element_count(fields);
    const void* data = fields.data;
    return SeriesView(std::move(array), data, length);
}

std::optional<SeriesView> view_float64_array(BorrowedRef object) {
    (void)array_api();  // the first use sets NumPy up, whatever the object is
    if (!is_float64_vector(object)) return std::nullopt;
    return SeriesView::borrow(object.to_owned());
}

bool ends_conversion(const PendingError& error) {
    return !error.matches(PyExc_Exception) || binding::is_memory_error(error);
}

Result<std::optional<SeriesView>> view_via_to_numpy(BorrowedRef object) {
    static binding::OnceCell<OwnedRef> method_name;
    const OwnedRef* name = method_name.get();
    if (name == nullptr) {
        name = &method_name.store(binding::expect_object(PyUnicode_InternFromString("to_numpy")));
    }
    PyObject* arguments[2] = {object.get(), Py_False};
    const OwnedRef returned =
        OwnedRef::steal(PyObject_VectorcallMethod(name->get(), arguments, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!returned) return std::unexpected(fetch_or_system_error());
    return view_float64_array(returned.borrow());
}

Result<FloatVector> extract_float_vector(BorrowedRef object) {
    if (PyType_HasFeature(object.type(), Py_TPFLAGS_UNICODE_SUBCLASS)) {
        return std::unexpected(PendingError::with_message(PyExc_TypeError, str_refused_message));
    }
    if (PySequence_Check(object.get()) == 0) {
        return std::unexpected(binding::conversion_error(object, "Sequence"));
    }
    Py_ssize_t hint = PySequence_Size(object.get());
    if (hint == -1) {
        // A failing __len__ only costs the pre-sizing, unless it ends the conversion.
        PendingError error = fetch_or_system_error();
        if (ends_conversion(error)) return std::unexpected(std::move(error));
        hint = 0;
    }
    FloatVector vector;
    if (hint > 0) {
        // An unsatisfiable hint is only a hint: growth takes over.
        (void)vector.reserve(std::min(static_cast<std::size_t>(hint), max_capacity_hint));
    }
    const OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object.get()));
    if (!iterator) return std::unexpected(fetch_or_system_error());
    while (true) {
        const OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (auto error = binding::fetch_error()) return std::unexpected(*std::move(error));
            return vector;
        }
        auto value = binding::extract_f64(item.borrow());
        if (!value) return std::unexpected(std::move(value.error()));
        if (!vector.push(*value)) return std::unexpected(PendingError::no_memory());
    }
}

Result<SeriesView> copy_float_sequence(BorrowedRef object) {
    auto vector = extract_float_vector(object);
    if (!vector) return std::unexpected(std::move(vector.error()));
    auto array = array_from_vector(std::move(*vector));
    if (!array) return std::unexpected(std::move(array.error()));
    return SeriesView::borrow(std::move(*array));
}

}  // namespace larkspur::array_input
