// Argument binding and scalar conversions.
//
// Contract:
//   * bind_arguments fills one borrowed slot per parameter (positional names,
//     then keyword-only ones) from the argument tuple and keyword dict, with
//     the interpreter's usual TypeError messages, checks in a fixed order.
//     On success it allocates nothing and creates no Python object; message
//     text is formed only on failure. After a failure the slots are garbage.
//   * extract_* convert one object to a native scalar or return the
//     interpreter's exception; wrap_argument_error prefixes a plain TypeError
//     with "argument '<name>': ".
//   * conversion_error is the TypeError "'<type>' object cannot be converted
//     to '<target>'", composed only when raised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "binding/pending_error.hpp"
#include "binding/refs.hpp"

namespace larkspur::binding {

struct KeywordOnlyParam {
    std::string_view name;
    bool required;
};

struct ParameterSpec {
    std::optional<std::string_view> class_name;
    std::string_view function_name;
    std::span<const std::string_view> positional_names;
    std::size_t positional_only_count;
    std::size_t required_positional_count;
    std::span<const KeywordOnlyParam> keyword_only;

    [[nodiscard]] constexpr std::size_t slot_count() const noexcept {
        return positional_names.size() + keyword_only.size();
    }
};

// "Class.function()" or "function()".
[[nodiscard]] std::string display_name(const ParameterSpec& spec);

// `slots` must hold spec.slot_count() entries, all null on entry.
[[nodiscard]] Status bind_arguments(const ParameterSpec& spec, PyObject* args, PyObject* kwargs,
                                    std::span<PyObject*> slots);

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
[[nodiscard]] std::string join_names(std::span<const std::string> names);

[[nodiscard]] PendingError wrap_argument_error(std::string_view name, PendingError error);

[[nodiscard]] Result<double> extract_f64(BorrowedRef object);
[[nodiscard]] Result<std::uint64_t> extract_u64(BorrowedRef object);
[[nodiscard]] Result<std::uint8_t> extract_u8(BorrowedRef object);

[[nodiscard]] PendingError conversion_error(BorrowedRef object, std::string_view target);

}  // namespace larkspur::binding
