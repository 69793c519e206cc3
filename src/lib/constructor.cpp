// EscancianoLobato.__new__: binds and checks the arguments in a fixed order,
// obtains the series as a contiguous run of float64 (in place when it can),
// runs the shared series checks and el_test, and only then allocates the
// fully filled result object.
#include <cstdint>
#include <optional>

#include "binding/arguments.hpp"
#include "binding/call_boundary.hpp"
#include "src/statistical_tests/el_series.hpp"
#include "src/lib/failure_exception.hpp"
#include "src/lib/result_class.hpp"
#include "src/lib/test_parameters.hpp"
#include "array_input/series_view.hpp"

namespace larkspur::lib {
namespace {

using array_input::SeriesView;
using binding::BorrowedRef;
using binding::OwnedRef;
using binding::PendingError;
using binding::Result;

constexpr char no_series_route[] = "expected a 1-D numpy.ndarray, pandas.Series, or sequence of float64";

constexpr std::string_view parameter_names[] = {"raw_data", "q", "d"};
constexpr binding::ParameterSpec constructor_spec{"EscancianoLobato", "__new__", parameter_names, 0, 1, {}};

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

Result<OwnedRef> construct(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    PyObject* slots[3] = {};
    if (auto bound = binding::bind_arguments(constructor_spec, args, kwargs, slots); !bound) {
        return std::unexpected(std::move(bound.error()));
    }

    Result<TestParameters> parameters = test_parameters(slots[1], slots[2]);
    if (!parameters) return std::unexpected(std::move(parameters.error()));

    Result<SeriesView> view = obtain_series(BorrowedRef(slots[0]));
    if (!view) return std::unexpected(std::move(view.error()));
    const auto values = view->contiguous_values();
    if (!values) {
        throw binding::InternalFault(std::string(no_series_route) + ": NotContiguousError");
    }
    // The interpreter lock stays held: the series cannot change underneath.
    const auto outcome = statistical_tests::test_series(values->data, values->length, parameters->q, parameters->d);
    view->release();
    if (!outcome) return std::unexpected(failure_error(outcome.error()));

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
