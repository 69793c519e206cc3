#include "binding/pending_error.hpp"

#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>
#include <variant>

#include "binding/fault.hpp"
#include "binding/interpreter_guard.hpp"

namespace larkspur::binding {
namespace {

struct MessageArgument {
    std::string text;
};
struct PanicArgument {
    std::string text;
};
struct ConversionArgument {
    OwnedRef source_type;
    std::string target;
};
using DeferredArgument = std::variant<MessageArgument, OwnedRef, PanicArgument, ConversionArgument>;

OwnedRef make_str(std::string_view text) {
    return expect_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// UTF-8 text of a str; lone surrogates are replaced by U+FFFD the way
// Python's own decoding with errors="replace" does. Empty on failure.
std::optional<std::string> lenient_utf8(BorrowedRef text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    const OwnedRef bytes = OwnedRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    if (!bytes) {
        PyErr_Clear();
        return std::nullopt;
    }
    const OwnedRef decoded =
        OwnedRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!decoded) {
        PyErr_Clear();
        return std::nullopt;
    }
    const char* utf8 = PyUnicode_AsUTF8AndSize(decoded.get(), &size);
    if (!utf8) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::string qualified_type_name(PyTypeObject* type) {
    const OwnedRef name = OwnedRef::steal(PyType_GetQualName(type));
    if (name) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return std::string(utf8, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

// repr() for the debug rendering; a failing repr is reported, not fatal.
std::string repr_text(BorrowedRef object) {
    const OwnedRef repr = OwnedRef::steal(PyObject_Repr(object.get()));
    if (repr) {
        if (auto text = lenient_utf8(repr.borrow())) {
            return *std::move(text);
        }
    } else {
        PyErr_WriteUnraisable(object.get());
    }
    return "<unprintable object>";
}

// Escapes as a quoted debug string: quotes, backslashes, control characters.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                    char escape[16];
                    std::snprintf(escape, sizeof escape, "\\u{%x}",
                                  static_cast<unsigned>(static_cast<unsigned char>(c)));
                    out += escape;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

Result<std::string> format_traceback(BorrowedRef traceback) {
    const OwnedRef io = OwnedRef::steal(PyImport_ImportModule("io"));
    if (!io) return std::unexpected(fetch_or_system_error());
    const OwnedRef buffer = OwnedRef::steal(PyObject_CallMethod(io.get(), "StringIO", nullptr));
    if (!buffer) return std::unexpected(fetch_or_system_error());
    if (PyTraceBack_Print(traceback.get(), buffer.get()) < 0) return std::unexpected(fetch_or_system_error());
    const OwnedRef value = OwnedRef::steal(PyObject_CallMethod(buffer.get(), "getvalue", nullptr));
    if (!value) return std::unexpected(fetch_or_system_error());
    if (!PyUnicode_Check(value.get())) return std::unexpected(PendingError::conversion(value.borrow(), "PyString"));
    if (auto text = lenient_utf8(value.borrow())) return *std::move(text);
    return std::unexpected(fetch_or_system_error());
}

std::string traceback_part(BorrowedRef exception) {
    const OwnedRef traceback = OwnedRef::steal(PyException_GetTraceback(exception.get()));
    if (!traceback || traceback.get() == Py_None) {
        return "None";
    }
    auto formatted = format_traceback(traceback.borrow());
    if (formatted) {
        return "Some(" + quoted(*formatted) + ")";
    }
    std::move(formatted.error()).raise();
    PyErr_WriteUnraisable(traceback.get());
    return "Some(" + quoted("<unformattable " + repr_text(traceback.borrow()) + ">") + ")";
}

[[noreturn]] void resume_panic(OwnedRef exception) {
    std::string text = "Unwrapped panic from Python code";
    if (const OwnedRef str = OwnedRef::steal(PyObject_Str(exception.get()))) {
        if (auto utf8 = lenient_utf8(str.borrow())) text = *std::move(utf8);
    } else {
        PyErr_Clear();
    }
    std::fputs(
        "--- larkspur native code is resuming an internal fault after fetching a PanicException from Python ---\n",
        stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    throw InternalFault(std::move(text));
}

}  // namespace

struct PendingError::State {
    // Deferred content; empty once instantiated.
    OwnedRef type;
    DeferredArgument argument;
    // Instantiated content.
    OwnedRef exception;
    // Once-only guard of instantiation.
    std::mutex guard;
    std::thread::id instantiating;
};

PendingError::PendingError(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
PendingError::PendingError(PendingError&&) noexcept = default;
PendingError& PendingError::operator=(PendingError&&) noexcept = default;
PendingError::~PendingError() = default;

PendingError PendingError::with_message(PyObject* type, std::string message) {
    auto state = std::make_unique<State>();
    state->type = OwnedRef::new_reference(type);
    state->argument = MessageArgument{std::move(message)};
    return PendingError(std::move(state));
}

PendingError PendingError::with_argument(OwnedRef type, OwnedRef argument) {
    auto state = std::make_unique<State>();
    state->type = std::move(type);
    state->argument = std::move(argument);
    return PendingError(std::move(state));
}

PendingError PendingError::panic(std::string text) {
    auto state = std::make_unique<State>();
    state->argument = PanicArgument{std::move(text)};
    return PendingError(std::move(state));
}

PendingError PendingError::conversion(BorrowedRef object, std::string_view target) {
    auto state = std::make_unique<State>();
    state->type = OwnedRef::new_reference(PyExc_TypeError);
    state->argument =
        ConversionArgument{OwnedRef::new_reference(reinterpret_cast<PyObject*>(object.type())), std::string(target)};
    return PendingError(std::move(state));
}

PendingError PendingError::no_memory() {
    return with_argument(OwnedRef::new_reference(PyExc_MemoryError), OwnedRef::new_reference(Py_None));
}

PendingError PendingError::from_exception(OwnedRef exception) {
    auto state = std::make_unique<State>();
    state->exception = std::move(exception);
    return PendingError(std::move(state));
}

PyObject* PendingError::type_object() const {
    if (state_->exception) {
        return reinterpret_cast<PyObject*>(state_->exception.type());
    }
    if (std::holds_alternative<PanicArgument>(state_->argument)) {
        return panic_exception_type().get();
    }
    return state_->type.get();
}

bool PendingError::has_exact_type(PyObject* type) const { return type_object() == type; }

bool PendingError::matches(PyObject* exception_class) const {
    return PyErr_GivenExceptionMatches(type_object(), exception_class) != 0;
}

void PendingError::raise_deferred() {
    OwnedRef type;
    OwnedRef argument;
    std::visit(
        [&](auto& content) {
            using Content = std::decay_t<decltype(content)>;
            if constexpr (std::is_same_v<Content, MessageArgument>) {
                type = OwnedRef::new_reference(state_->type.get());
                argument = make_str(content.text);
            } else if constexpr (std::is_same_v<Content, OwnedRef>) {
                type = OwnedRef::new_reference(state_->type.get());
                argument = OwnedRef::new_reference(content.get());
            } else if constexpr (std::is_same_v<Content, PanicArgument>) {
                type = panic_exception_type().to_owned();
                OwnedRef text = make_str(content.text);
                argument = expect_object(PyTuple_Pack(1, text.get()));
            } else {
                type = OwnedRef::new_reference(state_->type.get());
                std::string message(1, '\'');
                message.append(qualified_type_name(reinterpret_cast<PyTypeObject*>(content.source_type.get())))
                    .append("' object cannot be converted to '")
                    .append(content.target)
                    .append("'");
                argument = make_str(message);
            }
        },
        state_->argument);
    if (PyExceptionClass_Check(type.get())) {
        PyErr_SetObject(type.get(), argument.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

BorrowedRef PendingError::instantiate() {
    State& state = *state_;
    if (state.exception) {
        return state.exception.borrow();
    }
    if (state.instantiating == std::this_thread::get_id()) {
        throw InternalFault("Re-entrant normalization of PendingError detected");
    }
    auto work = [&] {
        const std::lock_guard<std::mutex> once(state.guard);
        if (state.exception) return;
        state.instantiating = std::this_thread::get_id();
        struct ClearOwner {
            State& s;
            ~ClearOwner() { s.instantiating = {}; }
        } clear_owner{state};
        const LockGuard lock;
        raise_deferred();
        PyObject* raised = PyErr_GetRaisedException();
        if (!raised) {
            throw InternalFault("exception missing after writing to the interpreter");
        }
        state.exception = OwnedRef::steal(raised);
        state.type = OwnedRef();
        state.argument = MessageArgument{};
    };
    if (lock_depth() > 0) {
        run_without_lock(work);
    } else {
        work();
    }
    return state.exception.borrow();
}

void PendingError::raise() && {
    if (state_->exception) {
        PyErr_SetRaisedException(state_->exception.release());
        return;
    }
    raise_deferred();
}

std::optional<PendingError> PendingError::cause() {
    OwnedRef cause = OwnedRef::steal(PyException_GetCause(instantiate().get()));
    if (!cause) {
        return std::nullopt;
    }
    if (PyExceptionInstance_Check(cause.get())) {
        return from_exception(std::move(cause));
    }
    return with_argument(std::move(cause), OwnedRef::new_reference(Py_None));
}

std::string PendingError::debug_rendering() {
    const LockGuard lock;
    const BorrowedRef exception = instantiate();
    return "PendingError { type: " + repr_text(BorrowedRef(reinterpret_cast<PyObject*>(exception.type()))) +
           ", value: " + repr_text(exception) + ", traceback: " + traceback_part(exception) + " }";
}

std::optional<PendingError> fetch_error() {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) {
        return std::nullopt;
    }
    OwnedRef exception = OwnedRef::steal(raised);
    if (reinterpret_cast<PyObject*>(exception.type()) == panic_exception_type().get()) {
        resume_panic(std::move(exception));
    }
    return PendingError::from_exception(std::move(exception));
}

PendingError fetch_or_system_error() {
    if (auto error = fetch_error()) {
        return *std::move(error);
    }
    return PendingError::with_message(PyExc_SystemError, no_exception_set_message);
}

std::string object_text(BorrowedRef object) {
    const OwnedRef text = OwnedRef::steal(PyObject_Str(object.get()));
    if (text) {
        if (auto utf8 = lenient_utf8(text.borrow())) {
            return *std::move(utf8);
        }
        return "<unprintable object>";
    }
    PyErr_WriteUnraisable(object.get());
    const OwnedRef name = OwnedRef::steal(PyType_GetName(object.type()));
    if (name) {
        if (auto utf8 = lenient_utf8(name.borrow())) {
            return "<unprintable " + *utf8 + " object>";
        }
    }
    PyErr_Clear();
    return "<unprintable object>";
}

bool is_memory_error(const PendingError& error) { return error.matches(PyExc_MemoryError); }

void api_call_failed() {
    PyErr_Print();
    throw InternalFault("Python API call failed");
}

OwnedRef expect_object(PyObject* result) {
    if (!result) {
        api_call_failed();
    }
    return OwnedRef::steal(result);
}

}  // namespace larkspur::binding
