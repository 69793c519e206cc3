#include "src/batch/batch_call.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/interpreter_guard.hpp"
#include "src/batch/batch_input.hpp"
#include "src/batch/batch_runner.hpp"
#include "src/batch/byte_columns.hpp"
#include "src/lib/failure_exception.hpp"

namespace larkspur::batch {
namespace {

using binding::BorrowedRef;
using binding::OwnedRef;
using binding::PendingError;
using binding::Result;

constexpr unsigned max_threads = 1024;
constexpr char threads_not_positive[] = "threads must be positive";

Result<OwnedRef> failure_list(const std::vector<IndexedFailure>& failures) {
    OwnedRef list = OwnedRef::steal(PyList_New(0));
    if (!list) return std::unexpected(binding::fetch_or_system_error());
    for (const IndexedFailure& entry : failures) {
        const std::string& message = entry.failure.message();
        OwnedRef item = OwnedRef::steal(Py_BuildValue("(KOs#)", static_cast<unsigned long long>(entry.index),
                                                      lib::failure_exception_class(entry.failure.exception()),
                                                      message.data(), static_cast<Py_ssize_t>(message.size())));
        if (!item || PyList_Append(list.get(), item.get()) < 0)
            return std::unexpected(binding::fetch_or_system_error());
    }
    return list;
}

}  // namespace

Result<OwnedRef> run_series_test(const SeriesTest& test, std::size_t columns, const BatchCall& call) {
    auto axis = binding::extract_u8(BorrowedRef(call.axis));
    if (!axis) return std::unexpected(binding::wrap_argument_error("axis", std::move(axis.error())));
    auto threads = binding::extract_u64(BorrowedRef(call.threads));
    if (!threads) return std::unexpected(binding::wrap_argument_error("threads", std::move(threads.error())));
    if (*threads == 0) return std::unexpected(PendingError::with_message(PyExc_ValueError, threads_not_positive));
    const int stop_at_first_failure = PyObject_IsTrue(call.stop_at_first_failure);
    if (stop_at_first_failure < 0) return std::unexpected(binding::fetch_or_system_error());

    Result<BatchInput> input = batch_input(BorrowedRef(call.values), *axis);
    if (!input) return std::unexpected(std::move(input.error()));
    const std::uint64_t count = input->series.size();
    std::vector<OwnedRef> owned;
    std::vector<unsigned char*> outputs;
    for (std::size_t k = 0; k < columns; ++k) {
        Result<OwnedRef> column = byte_column(count);
        if (!column) return column;
        outputs.push_back(column_data(*column));
        owned.push_back(*std::move(column));
    }

    const BatchOptions options{static_cast<unsigned>(std::min<std::uint64_t>(*threads, max_threads)),
                               stop_at_first_failure != 0};
    // Filled on the calling thread by the poll, with the lock held.
    std::optional<PendingError> interrupt;
    auto poll = [&interrupt]() -> bool {
        const binding::LockGuard lock;
        if (PyErr_CheckSignals() == 0) return false;
        interrupt = binding::fetch_or_system_error();
        return true;
    };
    BatchOutcome outcome =
        binding::run_without_lock([&] { return run_batch(test, input->series, options, outputs, poll); });
    if (interrupt) return std::unexpected(*std::move(interrupt));

    Result<OwnedRef> failures = failure_list(outcome.failures);
    if (!failures) return failures;
    owned.push_back(*std::move(failures));
    return tuple_of(owned);
}

}  // namespace larkspur::batch
