#include "src/lib/result_class.hpp"

#include <cstddef>

#include "binding/fault.hpp"

namespace larkspur::lib {
namespace {

using binding::BorrowedRef;
using binding::OwnedRef;
using binding::ReceiverBorrow;
using binding::Result;

constexpr char class_doc[] =
    "Result of the Escanciano\u2013Lobato heteroscedasticity proxy \\(EL\\) test.\n"
    "\n"
    "Returned by [`statistical_tests.escanciano_lobato`].  \n"
    "The statistic is asymptotically \u03c7\u00b2(1) under the null.";

template <class Read>
Result<OwnedRef> read_field(BorrowedRef self, Read read) {
    Result<ReceiverBorrow> borrow = ReceiverBorrow::acquire(escanciano_lobato_type(), self);
    if (!borrow) return std::unexpected(std::move(borrow.error()));
    // Only an exhausted heap makes a number fail: report it as MemoryError.
    OwnedRef number = OwnedRef::steal(read(borrow->as<EscancianoLobatoObject>()));
    if (!number) return std::unexpected(binding::fetch_or_system_error());
    return number;
}

Result<OwnedRef> get_p_tilde(BorrowedRef self) {
    return read_field(self, [](const EscancianoLobatoObject& o) { return PyLong_FromUnsignedLongLong(o.p_tilde); });
}

Result<OwnedRef> get_statistic(BorrowedRef self) {
    return read_field(self, [](const EscancianoLobatoObject& o) { return PyFloat_FromDouble(o.statistic); });
}

Result<OwnedRef> get_pvalue(BorrowedRef self) {
    return read_field(self, [](const EscancianoLobatoObject& o) { return PyFloat_FromDouble(o.pvalue); });
}

}  // namespace

binding::LazyType& escanciano_lobato_type() {
    static binding::LazyType type(binding::ClassDescription{
        "EscancianoLobato",
        nullptr,
        &PyBaseObject_Type,
        sizeof(EscancianoLobatoObject),
        class_doc,
        "(data, /, q=2.4, d=None)",
        false,
        {{Py_tp_new, reinterpret_cast<void*>(escanciano_lobato_new)}},
        {
            {"p_tilde", get_p_tilde, nullptr, "The selected lag \\(p\\) that maximizes the penalized statistic."},
            {"statistic", get_statistic, nullptr, "The EL test statistic."},
            {"pvalue", get_pvalue, nullptr, "The p-value of the EL test."},
        },
        binding::plain_dealloc<>,
        binding::gc_dealloc<>,
        offsetof(EscancianoLobatoObject, borrow_counter),
    });
    return type;
}

}  // namespace larkspur::lib
