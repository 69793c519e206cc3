// demeaned(values, factors) -> (e, e * factors[0], ...): the bootstrap's
// centred series and its products with the weights' values, for every test.
//
// values is one contiguous float64 series (n >= 1, finite: the test has
// accepted it); e_t = x_t - mean with the mean every test uses (the
// sequential sum from -0.0 in index order over n, scan_series), and every
// product one IEEE multiplication, all inside a FloatingPointScope: the same
// bits in every rounding mode the caller may have set. Each result is a
// bytearray of n float64 (native order).
#include <cstring>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "numerics/floating_point_environment.hpp"
#include "src/batch/batch_input.hpp"
#include "src/batch/byte_columns.hpp"
#include "src/batch/entry_point.hpp"
#include "src/batch/entry_points.hpp"
#include "src/statistical_tests/series_element.hpp"
#include "src/statistical_tests/series_scan.hpp"

namespace larkspur::batch {
namespace {

using binding::BorrowedRef;
using binding::OwnedRef;
using binding::PendingError;
using binding::Result;

constexpr char factors_wanted[] = "factors must be a tuple of floats";

Result<OwnedRef> demeaned(std::span<PyObject* const> slots) {
    if (!PyTuple_Check(slots[1])) return std::unexpected(PendingError::with_message(PyExc_TypeError, factors_wanted));
    std::vector<double> factors;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(slots[1]); ++k) {
        auto factor = binding::extract_f64(BorrowedRef(PyTuple_GET_ITEM(slots[1], k)));
        if (!factor) return std::unexpected(binding::wrap_argument_error("factors", std::move(factor.error())));
        factors.push_back(*factor);
    }
    Result<BatchInput> input = single_series_input(BorrowedRef(slots[0]));
    if (!input) return std::unexpected(std::move(input.error()));
    const SeriesSpec& spec = input->series[0];
    const std::uint64_t n = spec.length;
    std::vector<OwnedRef> columns;
    std::vector<double*> outputs;
    for (std::size_t k = 0; k <= factors.size(); ++k) {
        Result<OwnedRef> column = byte_column(n);
        if (!column) return column;
        outputs.push_back(reinterpret_cast<double*>(column_data(*column)));
        columns.push_back(*std::move(column));
    }
    if (n > 0) {
        const numerics::FloatingPointScope environment;
        const double mean = statistical_tests::scan_series(spec.data, n).mean;
        for (std::uint64_t t = 0; t < n; ++t) {
            double value;
            std::memcpy(&value, spec.data + static_cast<std::ptrdiff_t>(t) * spec.stride, sizeof(double));
            const double e = value - mean;
            outputs[0][t] = e;
            for (std::size_t k = 0; k < factors.size(); ++k) outputs[k + 1][t] = e * factors[k];
        }
    }
    return tuple_of(columns);
}

constexpr std::string_view demeaned_names[] = {"values", "factors"};
constexpr binding::ParameterSpec demeaned_spec{std::nullopt, "demeaned", demeaned_names, 2, 2, {}};

}  // namespace

const PyMethodDef demeaned_method = keyword_method<demeaned_spec, demeaned>(
    "demeaned(values, factors, /)\n--\n\n"
    "The bootstrap's centred series e = x - mean and its products e * f for each factor, in a fixed "
    "floating-point environment.");

}  // namespace larkspur::batch
