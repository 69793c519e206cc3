#include "binding/arguments.hpp"

#include <cstring>
#include <limits>
#include <vector>

namespace larkspur::binding {
namespace {

bool same_name(std::string_view name, const char* key, Py_ssize_t key_size) noexcept {
    return name.size() == static_cast<std::size_t>(key_size) &&
           (name.empty() || std::memcmp(name.data(), key, name.size()) == 0);
}

PendingError binding_error(const ParameterSpec& spec, std::string_view detail) {
    return PendingError::with_message(PyExc_TypeError, display_name(spec) + std::string(detail));
}

PendingError too_many_positional(const ParameterSpec& spec, std::size_t given) {
    const std::size_t count = spec.positional_names.size();
    std::string text = " takes ";
    if (spec.required_positional_count == count) {
        text += std::to_string(count);
    } else {
        text += "from " + std::to_string(spec.required_positional_count) + " to " + std::to_string(count);
    }
    text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    return binding_error(spec, text);
}

PendingError missing_arguments(const ParameterSpec& spec, std::string_view kind, std::span<const std::string> names) {
    return binding_error(spec, " missing " + std::to_string(names.size()) + " required " + std::string(kind) +
                                   (names.size() == 1 ? " argument: " : " arguments: ") + join_names(names));
}

}  // namespace

std::string display_name(const ParameterSpec& spec) {
    std::string name;
    if (spec.class_name) {
        name.append(*spec.class_name).append(".");
    }
    name.append(spec.function_name).append("()");
    return name;
}

std::string join_names(std::span<const std::string> names) {
    std::string joined;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) joined += ',';
            joined += (i + 1 == names.size()) ? " and " : " ";
        }
        joined.append("'").append(names[i]).append("'");
    }
    return joined;
}

Status bind_arguments(const ParameterSpec& spec, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
    const std::size_t positional_count = spec.positional_names.size();
    const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));

    for (std::size_t i = 0; i < given && i < positional_count; ++i) {
        slots[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    }
    if (given > positional_count) {
        return std::unexpected(too_many_positional(spec, given));
    }

    std::vector<std::string> positional_only_misuse;  // stays unallocated unless misused
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            Py_ssize_t key_size = 0;
            const char* key_text = PyUnicode_AsUTF8AndSize(key, &key_size);
            if (key_text == nullptr) {
                PyErr_Clear();
            } else {
                bool matched = false;
                for (std::size_t j = 0; j < spec.keyword_only.size() && !matched; ++j) {
                    if (!same_name(spec.keyword_only[j].name, key_text, key_size)) continue;
                    PyObject*& slot = slots[positional_count + j];
                    if (slot != nullptr) {
                        return std::unexpected(
                            binding_error(spec, " got multiple values for argument '" +
                                                    std::string(key_text, static_cast<std::size_t>(key_size)) + "'"));
                    }
                    slot = value;
                    matched = true;
                }
                for (std::size_t i = 0; i < positional_count && !matched; ++i) {
                    if (!same_name(spec.positional_names[i], key_text, key_size)) continue;
                    matched = true;
                    if (i < spec.positional_only_count) {
                        positional_only_misuse.emplace_back(key_text, static_cast<std::size_t>(key_size));
                    } else if (slots[i] != nullptr) {
                        return std::unexpected(
                            binding_error(spec, " got multiple values for argument '" +
                                                    std::string(key_text, static_cast<std::size_t>(key_size)) + "'"));
                    } else {
                        slots[i] = value;
                    }
                }
                if (matched) continue;
            }
            return std::unexpected(
                binding_error(spec, " got an unexpected keyword argument '" + object_text(BorrowedRef(key)) + "'"));
        }
    }

    if (!positional_only_misuse.empty()) {
        return std::unexpected(binding_error(spec, " got some positional-only arguments passed as keyword arguments: " +
                                                       join_names(positional_only_misuse)));
    }

    if (given < spec.required_positional_count) {
        bool any_missing = false;
        for (std::size_t i = given; i < spec.required_positional_count; ++i) {
            any_missing = any_missing || slots[i] == nullptr;
        }
        if (any_missing) {
            std::vector<std::string> missing;
            for (std::size_t i = 0; i < spec.required_positional_count; ++i) {
                if (slots[i] == nullptr) missing.emplace_back(spec.positional_names[i]);
            }
            return std::unexpected(missing_arguments(spec, "positional", missing));
        }
    }

    std::vector<std::string> missing_keywords;
    for (std::size_t j = 0; j < spec.keyword_only.size(); ++j) {
        if (spec.keyword_only[j].required && slots[positional_count + j] == nullptr) {
            missing_keywords.emplace_back(spec.keyword_only[j].name);
        }
    }
    if (!missing_keywords.empty()) {
        return std::unexpected(missing_arguments(spec, "keyword", missing_keywords));
    }
    return {};
}

PendingError wrap_argument_error(std::string_view name, PendingError error) {
    if (!error.has_exact_type(PyExc_TypeError)) {
        return error;
    }
    const BorrowedRef incoming = error.instantiate();
    PendingError wrapped =
        PendingError::with_message(PyExc_TypeError, "argument '" + std::string(name) + "': " + object_text(incoming));
    const BorrowedRef replacement = wrapped.instantiate();
    // PyException_SetCause steals the cause and marks the context suppressed.
    PyException_SetCause(replacement.get(), PyException_GetCause(incoming.get()));
    return wrapped;
}

Result<double> extract_f64(BorrowedRef object) {
    if (Py_IS_TYPE(object.get(), &PyFloat_Type)) {
        return PyFloat_AS_DOUBLE(object.get());
    }
    const double value = PyFloat_AsDouble(object.get());
    if (value == -1.0) {
        if (auto error = fetch_error()) {
            return std::unexpected(*std::move(error));
        }
    }
    return value;
}

Result<std::uint64_t> extract_u64(BorrowedRef object) {
    unsigned long long value = 0;
    if (PyType_HasFeature(object.type(), Py_TPFLAGS_LONG_SUBCLASS)) {
        value = PyLong_AsUnsignedLongLong(object.get());
    } else {
        const OwnedRef index = OwnedRef::steal(PyNumber_Index(object.get()));
        if (!index) {
            return std::unexpected(fetch_or_system_error());
        }
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == std::numeric_limits<unsigned long long>::max()) {
        if (auto error = fetch_error()) {
            return std::unexpected(*std::move(error));
        }
    }
    return static_cast<std::uint64_t>(value);
}

Result<std::uint8_t> extract_u8(BorrowedRef object) {
    const long value = PyLong_AsLong(object.get());
    if (value == -1) {
        if (auto error = fetch_error()) {
            return std::unexpected(*std::move(error));
        }
    }
    if (value < 0 || value > 255) {
        return std::unexpected(
            PendingError::with_message(PyExc_OverflowError, "out of range integral type conversion attempted"));
    }
    return static_cast<std::uint8_t>(value);
}

PendingError conversion_error(BorrowedRef object, std::string_view target) {
    return PendingError::conversion(object, target);
}

}  // namespace larkspur::binding
