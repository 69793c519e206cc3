// EscancianoLobato.__new__: binds and checks the arguments in a fixed order,
// obtains the series as a contiguous run of float64 (in place when it can),
// runs el_test and only then allocates the fully filled result object.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "binding/arguments.hpp"
#include "binding/call_boundary.hpp"
#include "numerics/floating_point_environment.hpp"
#include "src/statistical_tests/escanciano_lobato.hpp"
#include "src/lib/result_class.hpp"
#include "src/statistical_tests/series_element.hpp"
#include "array_input/series_view.hpp"

namespace larkspur::lib {
namespace {

using array_input::SeriesView;
using binding::BorrowedRef;
using binding::OwnedRef;
using binding::PendingError;
using binding::Result;
using statistical_tests::ElErrorKind;

constexpr double default_q = 2.4;
constexpr double derived_lag_exponent = 0.2;  // the double nearest 1/5

constexpr char q_not_positive[] = "q must be positive";
constexpr char d_not_positive[] = "d must be positive";
constexpr char no_series_route[] = "expected a 1-D numpy.ndarray, pandas.Series, or sequence of float64";
constexpr char empty_series[] = "data must not be empty";
constexpr char nan_in_series[] = "data must not contain NaN values";
constexpr char infinity_in_series[] = "data must not contain infinite values";
constexpr char single_value[] = "data must contain at least two values";

constexpr std::string_view parameter_names[] = {"raw_data", "q", "d"};
constexpr binding::ParameterSpec constructor_spec{"EscancianoLobato", "__new__", parameter_names, 0, 1, {}};

bool is_absent(PyObject* slot) noexcept { return slot == nullptr || slot == Py_None; }

// The routes in their fixed order. A route's own failure is never reported,
// except what ends_conversion() lets through: an interrupt, an exit or an
// out-of-memory reaches the caller unchanged and no later route runs.
Result<SeriesView> obtain_series(BorrowedRef raw_data) {
    if (std::optional<SeriesView> view = array_input::view_float64_array(raw_data)) {
        if (view->contiguous_values()) return *std::move(view);
    }
    Result<std::optional<SeriesView>> via_to_numpy = array_input::view_via_to_numpy(raw_data);
    if (!via_to_numpy) {
        if (array_input::ends_conversion(via_to_numpy.error())) return std::unexpected(std::move(via_to_numpy.error()));
    } else if (*via_to_numpy && (*via_to_numpy)->contiguous_values()) {
        return **std::move(via_to_numpy);
    }
    Result<SeriesView> copied = array_input::copy_float_sequence(raw_data);
    if (!copied && !array_input::ends_conversion(copied.error())) {
        return std::unexpected(PendingError::with_message(PyExc_TypeError, no_series_route));
    }
    return copied;
}

enum class Finiteness { AllFinite, HasInfinity, HasNan };

// One pass over the bit patterns: an infinity or a NaN has an exponent field
// of all ones, and only then does adding one to the masked exponent carry
// into the (masked-off) sign bit. Adds and ors without an early exit inside
// a block run in vector lanes at about memory speed; only a series that has
// such a value is read again, to tell a NaN (which wins, wherever it is)
// from an infinity.
Finiteness classify_values(const void* data, std::uint64_t n) noexcept {
    constexpr std::uint64_t exponent_mask = 0x7ff0000000000000ULL;
    constexpr std::uint64_t exponent_one = 0x0010000000000000ULL;
    constexpr std::uint64_t carry = 0x8000000000000000ULL;
    constexpr std::uint64_t block = 2048;
    const auto* bytes = static_cast<const unsigned char*>(data);
    bool non_finite = false;
    for (std::uint64_t start = 0; start < n && !non_finite; start += block) {
        const std::uint64_t stop = std::min(n, start + block);
        std::uint64_t any = 0;
        for (std::uint64_t i = start; i < stop; ++i) {
            const auto bits = std::bit_cast<std::uint64_t>(statistical_tests::load_element(bytes, i));
            any |= (bits & exponent_mask) + exponent_one;
        }
        non_finite = (any & carry) != 0;
    }
    if (!non_finite) return Finiteness::AllFinite;
    for (std::uint64_t i = 0; i < n; ++i) {
        const double value = statistical_tests::load_element(bytes, i);
        if (value != value) return Finiteness::HasNan;
    }
    return Finiteness::HasInfinity;
}

// floor(n^0.2), saturating like a float-to-unsigned cast that cannot overflow.
std::uint64_t derived_lag(std::uint64_t n) noexcept {
    const numerics::FloatingPointScope environment;  // pow's bits under the caller's mode otherwise
    const double root = std::pow(static_cast<double>(n), derived_lag_exponent);
    if (!(root > 0.0)) return 0;
    if (root >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(root);
}

PendingError test_error(const statistical_tests::ElError& error) {
    switch (error.kind) {
        case ElErrorKind::ZeroTau:
            return PendingError::with_message(PyExc_OSError, error.message());
        case ElErrorKind::NotFinite:
        case ElErrorKind::TooSmall:
        case ElErrorKind::LagExceedsLength:
            return PendingError::with_message(PyExc_ValueError, error.message());
        case ElErrorKind::BufferUnavailable:
            break;
    }
    return PendingError::no_memory();
}

Result<OwnedRef> construct(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    PyObject* slots[3] = {};
    if (auto bound = binding::bind_arguments(constructor_spec, args, kwargs, slots); !bound) {
        return std::unexpected(std::move(bound.error()));
    }

    const bool q_supplied = !is_absent(slots[1]);
    double q = default_q;
    if (q_supplied) {
        auto converted = binding::extract_f64(BorrowedRef(slots[1]));
        if (!converted) return std::unexpected(binding::wrap_argument_error("q", std::move(converted.error())));
        q = *converted;
    }
    std::optional<std::uint64_t> d;
    if (!is_absent(slots[2])) {
        auto converted = binding::extract_u64(BorrowedRef(slots[2]));
        if (!converted) return std::unexpected(binding::wrap_argument_error("d", std::move(converted.error())));
        d = *converted;
    }
    if (q_supplied && !(q > 0.0)) {
        return std::unexpected(PendingError::with_message(PyExc_ValueError, q_not_positive));
    }

    Result<SeriesView> view = obtain_series(BorrowedRef(slots[0]));
    if (!view) return std::unexpected(std::move(view.error()));
    const auto values = view->contiguous_values();
    if (!values) {
        throw binding::InternalFault(std::string(no_series_route) + ": NotContiguousError");
    }
    const std::uint64_t n = values->length;
    if (n == 0) return std::unexpected(PendingError::with_message(PyExc_ValueError, empty_series));
    const Finiteness finiteness = classify_values(values->data, n);
    if (finiteness == Finiteness::HasNan) {
        return std::unexpected(PendingError::with_message(PyExc_ValueError, nan_in_series));
    }
    const std::uint64_t default_d = derived_lag(n);
    if (d && *d == 0) return std::unexpected(PendingError::with_message(PyExc_ValueError, d_not_positive));
    // Without these two checks the test would report p = 1 ("no correlation")
    // for data it cannot assess: every robust autocorrelation would be NaN,
    // or there would be no pair of observations at all.
    if (finiteness == Finiteness::HasInfinity) {
        return std::unexpected(PendingError::with_message(PyExc_ValueError, infinity_in_series));
    }
    if (n == 1) return std::unexpected(PendingError::with_message(PyExc_ValueError, single_value));

    // The interpreter lock stays held: the series cannot change underneath.
    const auto outcome = statistical_tests::el_test(values->data, n, q, d.value_or(default_d));
    view->release();
    if (!outcome) return std::unexpected(test_error(outcome.error()));

    Result<OwnedRef> instance = binding::allocate_instance(subtype, &PyBaseObject_Type);
    if (!instance) return instance;
    auto* object = reinterpret_cast<EscancianoLobatoObject*>(instance->get());
    object->p_tilde = outcome->p_tilde;
    object->statistic = outcome->statistic;
    object->pvalue = outcome->pvalue;
    object->borrow_counter = 0;
    return instance;
}

}  // namespace

PyObject* escanciano_lobato_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return binding::object_boundary([&] { return construct(subtype, args, kwargs); });
}

}  // namespace larkspur::lib
