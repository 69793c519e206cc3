// Test-only access to the borrow registry (array_input/borrow_registry.cpp
// defines these; no product code calls them).
#pragma once

#include <cstdint>
#include <optional>
#include <tuple>
#include <vector>

#include "array_input/borrow_registry.hpp"

namespace larkspur::array_input {

// The record in use in this process (created or adopted on first call).
[[nodiscard]] const SharedBorrowApi& registry_api();

// The registry's entries as (base, key, count) when this copy of the code
// created the registry in use; nullopt when another participant did.
using RegistryEntry = std::tuple<PyObject*, BorrowKey, std::intptr_t>;
[[nodiscard]] std::optional<std::vector<RegistryEntry>> registry_snapshot();

}  // namespace larkspur::array_input
