// The Escanciano-Lobato test's functions in the batch module: many series
// through the batch runner, one series' per-lag quantities, the checks and
// defaults of q and d as the class has them.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "src/batch/batch_call.hpp"
#include "src/batch/batch_input.hpp"
#include "src/batch/byte_columns.hpp"
#include "src/batch/el_batch_test.hpp"
#include "src/batch/entry_point.hpp"
#include "src/batch/entry_points.hpp"
#include "src/lib/failure_exception.hpp"
#include "src/lib/test_parameters.hpp"
#include "src/statistical_tests/derived_lag.hpp"
#include "src/statistical_tests/lag_profile.hpp"

namespace larkspur::batch {
namespace {

using binding::BorrowedRef;
using binding::OwnedRef;
using binding::PendingError;
using binding::Result;

// q and d are checked as the class checks them, before the panel is read.
Result<OwnedRef> el_many(std::span<PyObject* const> slots) {
    Result<lib::TestParameters> parameters = lib::test_parameters(slots[1], slots[2]);
    if (!parameters) return std::unexpected(std::move(parameters.error()));
    const ElBatchTest test(parameters->q, parameters->d);
    return run_series_test(test, 3, BatchCall{slots[0], slots[3], slots[4], slots[5]});
}

// The one series of lag_profile: a 1-D float64 ndarray, C-contiguous (the
// companion's reading gives it so). Held by reference and shared borrow
// while it is read, with the interpreter lock held.
Result<BatchInput> contiguous_series(BorrowedRef values) {
    Result<BatchInput> input = single_series_input(values);
    if (input && input->series[0].stride != static_cast<std::ptrdiff_t>(sizeof(double)) &&
        input->series[0].length > 1) {
        return std::unexpected(PendingError::with_message(PyExc_TypeError, "values must be contiguous"));
    }
    return input;
}

Result<OwnedRef> lag_profile(std::span<PyObject* const> slots) {
    Result<lib::TestParameters> parameters = lib::test_parameters(slots[1], slots[2]);
    if (!parameters) return std::unexpected(std::move(parameters.error()));
    Result<BatchInput> input = contiguous_series(BorrowedRef(slots[0]));
    if (!input) return std::unexpected(std::move(input.error()));
    const SeriesSpec& series = input->series[0];
    const auto profile = statistical_tests::lag_profile(series.data, series.length, parameters->q, parameters->d);
    if (!profile) return std::unexpected(lib::failure_error(profile.error()));
    OwnedRef table = OwnedRef::steal(PyDict_New());
    if (!table) return std::unexpected(binding::fetch_or_system_error());
    auto put = [&table](const char* key, Result<OwnedRef> value) -> binding::Status {
        if (!value) return std::unexpected(std::move(value.error()));
        if (!*value || PyDict_SetItemString(table.get(), key, value->get()) < 0) {
            return std::unexpected(binding::fetch_or_system_error());
        }
        return {};
    };
    auto number = [](PyObject* made) -> Result<OwnedRef> { return OwnedRef::steal(made); };
    const std::pair<const char*, const std::vector<double>*> columns[] = {
        {"g", &profile->g},
        {"t", &profile->t},
        {"gamma", &profile->gamma},
        {"tau", &profile->tau},
        {"rho_squared", &profile->rho_squared},
        {"cumulative_statistic", &profile->cumulative_statistic},
        {"penalty", &profile->penalty},
        {"criterion", &profile->criterion},
    };
    for (const auto& [key, values] : columns) {
        if (auto stored = put(key, column_of(*values)); !stored) return std::unexpected(std::move(stored.error()));
    }
    const std::pair<const char*, PyObject*> scalars[] = {
        {"p_tilde", PyLong_FromUnsignedLongLong(profile->result.p_tilde)},
        {"statistic", PyFloat_FromDouble(profile->result.statistic)},
        {"pvalue", PyFloat_FromDouble(profile->result.pvalue)},
        {"d", PyLong_FromUnsignedLongLong(profile->d)},
        {"bic_penalty", PyBool_FromLong(profile->bic_penalty ? 1 : 0)},
        {"mean", PyFloat_FromDouble(profile->mean)},
        {"sum_of_squares", PyFloat_FromDouble(profile->sum_of_squares)},
    };
    binding::Status stored{};
    for (const auto& [key, made] : scalars) {
        // Every object is made first, so each is dropped on any failure.
        Result<OwnedRef> value = number(made);
        if (stored) stored = put(key, std::move(value));
    }
    if (!stored) return std::unexpected(std::move(stored.error()));
    return table;
}

Result<OwnedRef> default_d(std::span<PyObject* const> slots) {
    auto n = binding::extract_u64(BorrowedRef(slots[0]));
    if (!n) return std::unexpected(binding::wrap_argument_error("n", std::move(n.error())));
    OwnedRef d = OwnedRef::steal(PyLong_FromUnsignedLongLong(statistical_tests::derived_lag(*n)));
    if (!d) return std::unexpected(binding::fetch_or_system_error());
    return d;
}

// q and d checked as the class checks them, before any series is read.
Result<OwnedRef> check_parameters(std::span<PyObject* const> slots) {
    if (auto checked = lib::test_parameters(slots[0], slots[1]); !checked) {
        return std::unexpected(std::move(checked.error()));
    }
    return OwnedRef::steal(Py_NewRef(Py_None));
}

constexpr std::string_view el_many_names[] = {"values", "q", "d", "axis", "threads", "stop_at_first_failure"};
constexpr binding::ParameterSpec el_many_spec{std::nullopt, "el_many", el_many_names, 6, 6, {}};
constexpr std::string_view lag_profile_names[] = {"values", "q", "d"};
constexpr binding::ParameterSpec lag_profile_spec{std::nullopt, "lag_profile", lag_profile_names, 3, 3, {}};
constexpr std::string_view check_parameters_names[] = {"q", "d"};
constexpr binding::ParameterSpec check_parameters_spec{
    std::nullopt, "check_parameters", check_parameters_names, 2, 2, {}};
constexpr std::string_view default_d_names[] = {"n"};
constexpr binding::ParameterSpec default_d_spec{std::nullopt, "default_d", default_d_names, 1, 1, {}};

}  // namespace

const PyMethodDef el_many_method = keyword_method<el_many_spec, el_many>(
    "el_many(values, q, d, axis, threads, stop_at_first_failure)\n--\n\n"
    "The test on every series of a panel; see larkspur_tools.el_many.");
const PyMethodDef lag_profile_method = keyword_method<lag_profile_spec, lag_profile>(
    "lag_profile(values, q, d)\n--\n\n"
    "The test's per-lag quantities of one contiguous float64 series; see larkspur_tools.lag_table.");
const PyMethodDef check_parameters_method = keyword_method<check_parameters_spec, check_parameters>(
    "check_parameters(q, d)\n--\n\n"
    "Raises what the class raises for q and d (None: the default); returns None.");
const PyMethodDef default_d_method = keyword_method<default_d_spec, default_d>(
    "default_d(n)\n--\n\n"
    "The largest lag the test uses when d is not given: the integer fifth root of n.");

}  // namespace larkspur::batch
