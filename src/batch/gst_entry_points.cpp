// The generalized spectral test's functions in the batch module:
//
//   gst_many(values, form, axis, threads, stop_at_first_failure)
//     -> (statistic, error_bound, rank, failures)     every series of a panel
//   gst_prepare(values, form) -> (prepared, statistic, error_bound, rank)
//     one contiguous float64 series made ready for its bootstrap; `prepared`
//     is an opaque capsule that keeps the factor and its spectra
//   gst_replicates(prepared, rows, threads) -> (statistics, failures)
//     T* of each row of a C-contiguous 2-D float64 array of multipliers, on
//     worker threads without the interpreter lock (interrupts seen about
//     every 50 ms)
//
// form is 0 (standardised, the default form) or 1 (the peer's raw form).
// The companion checks its names; here a code other than 0 or 1 is a ValueError.
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "numerics/floating_point_environment.hpp"
#include "src/batch/batch_call.hpp"
#include "src/batch/batch_input.hpp"
#include "src/batch/entry_point.hpp"
#include "src/batch/entry_points.hpp"
#include "src/batch/gst_batch_test.hpp"
#include "src/lib/failure_exception.hpp"

namespace larkspur::batch {
namespace {

namespace gst = statistical_tests::generalized_spectral;
using binding::BorrowedRef;
using binding::OwnedRef;
using binding::PendingError;
using binding::Result;

constexpr char capsule_name[] = "larkspur_tools._batch.GstPrepared";
constexpr char form_out_of_range[] = "form must be 0 (standardised) or 1 (vrtest)";
constexpr char not_prepared[] = "prepared must be what gst_prepare returned";

Result<gst::GstOptions> gst_options(PyObject* form) {
    auto code = binding::extract_u8(BorrowedRef(form));
    if (!code) return std::unexpected(binding::wrap_argument_error("form", std::move(code.error())));
    if (*code > 1) return std::unexpected(PendingError::with_message(PyExc_ValueError, form_out_of_range));
    gst::GstOptions options;
    options.form = *code == 0 ? gst::GstForm::Standardised : gst::GstForm::Vrtest;
    return options;
}

Result<OwnedRef> gst_many(std::span<PyObject* const> slots) {
    Result<gst::GstOptions> options = gst_options(slots[1]);
    if (!options) return std::unexpected(std::move(options.error()));
    const GstSeriesTest test(*options);
    return run_series_test(test, 3, BatchCall{slots[0], slots[2], slots[3], slots[4]});
}

void destroy_prepared(PyObject* capsule) noexcept {
    delete static_cast<gst::GstPrepared*>(PyCapsule_GetPointer(capsule, capsule_name));
}

Result<OwnedRef> gst_prepare(std::span<PyObject* const> slots) {
    Result<gst::GstOptions> options = gst_options(slots[1]);
    if (!options) return std::unexpected(std::move(options.error()));
    Result<BatchInput> input = single_series_input(BorrowedRef(slots[0]));
    if (!input) return std::unexpected(std::move(input.error()));
    const SeriesSpec& spec = input->series[0];
    Workspace gathered;
    const auto* values = static_cast<const double*>(contiguous_values(spec, gathered));
    {
        const numerics::FloatingPointScope environment;
        if (auto checked = statistical_tests::check_series(values, spec.length, nullptr); !checked) {
            return std::unexpected(lib::failure_error(checked.error()));
        }
    }
    auto prepared =
        binding::run_without_lock([&] { return gst::GstPrepared::make(std::span(values, spec.length), *options); });
    if (!prepared) return std::unexpected(lib::failure_error(gst_failure(prepared.error())));
    const gst::GstStatistic statistic = prepared->statistic();
    auto owned = std::make_unique<gst::GstPrepared>(*std::move(prepared));
    OwnedRef capsule = OwnedRef::steal(PyCapsule_New(owned.get(), capsule_name, destroy_prepared));
    if (!capsule) return std::unexpected(binding::fetch_or_system_error());
    owned.release();  // the capsule owns it now
    OwnedRef result = OwnedRef::steal(Py_BuildValue("(OddK)", capsule.get(), statistic.value, statistic.error_bound,
                                                    static_cast<unsigned long long>(statistic.rank)));
    if (!result) return std::unexpected(binding::fetch_or_system_error());
    return result;
}

Result<OwnedRef> gst_replicates(std::span<PyObject* const> slots) {
    if (!PyCapsule_IsValid(slots[0], capsule_name)) {
        return std::unexpected(PendingError::with_message(PyExc_TypeError, not_prepared));
    }
    const auto* prepared = static_cast<const gst::GstPrepared*>(PyCapsule_GetPointer(slots[0], capsule_name));
    const GstReplicateTest test(*prepared);
    OwnedRef axis = OwnedRef::steal(PyLong_FromLong(1));
    if (!axis) return std::unexpected(binding::fetch_or_system_error());
    return run_series_test(test, 1, BatchCall{slots[1], axis.get(), slots[2], Py_False});
}

constexpr std::string_view gst_many_names[] = {"values", "form", "axis", "threads", "stop_at_first_failure"};
constexpr binding::ParameterSpec gst_many_spec{std::nullopt, "gst_many", gst_many_names, 5, 5, {}};
constexpr std::string_view gst_prepare_names[] = {"values", "form"};
constexpr binding::ParameterSpec gst_prepare_spec{std::nullopt, "gst_prepare", gst_prepare_names, 2, 2, {}};
constexpr std::string_view gst_replicates_names[] = {"prepared", "rows", "threads"};
constexpr binding::ParameterSpec gst_replicates_spec{std::nullopt, "gst_replicates", gst_replicates_names, 3, 3, {}};

}  // namespace

const PyMethodDef gst_many_method = keyword_method<gst_many_spec, gst_many>(
    "gst_many(values, form, axis, threads, stop_at_first_failure)\n--\n\n"
    "The generalized spectral statistic of every series of a panel; see larkspur_tools.gen_spectral_many.");
const PyMethodDef gst_prepare_method = keyword_method<gst_prepare_spec, gst_prepare>(
    "gst_prepare(values, form)\n--\n\n"
    "One series made ready for the generalized spectral bootstrap; see larkspur_tools.gen_spectral.");
const PyMethodDef gst_replicates_method = keyword_method<gst_replicates_spec, gst_replicates>(
    "gst_replicates(prepared, rows, threads)\n--\n\n"
    "The bootstrap statistics of rows of multipliers; see larkspur_tools.gen_spectral.");

}  // namespace larkspur::batch
