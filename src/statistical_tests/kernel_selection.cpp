// The choice of the running kernel variant from the CPU and the
// environment (lag_kernels.hpp), made once per process.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "src/statistical_tests/lag_kernels.hpp"
#include "src/statistical_tests/simd_portability.hpp"

namespace larkspur::statistical_tests {
namespace {

constexpr char unknown_variant_text[] = " is not a kernel variant of this build; it has: ";
constexpr char unsupported_variant_text[] = " is not supported by this CPU; it supports: ";
constexpr char forced_and_disabled_text[] = " is also disabled by ";
constexpr char nothing_left_text[] = " disables every kernel variant this CPU supports: ";

// "a, b, c" of the variants that pass `keep`.
template <class Keep>
std::string names(Keep keep) {
    std::string text;
    for (const KernelVariant& variant : kernel_variants()) {
        if (!keep(variant)) continue;
        if (!text.empty()) text += ", ";
        text += variant.name;
    }
    return text;
}

bool supported(const KernelVariant& variant) { return variant.cpu_supports(); }

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

// NAME='value' as the message shows it.
std::string setting(std::string_view variable, std::string_view value) {
    return std::string(variable) + "='" + std::string(value) + "'";
}

const KernelVariant* widest_supported(const std::vector<const KernelVariant*>& disabled) {
    const std::span<const KernelVariant> variants = kernel_variants();
    for (auto it = variants.rbegin(); it != variants.rend(); ++it) {
        if (supported(*it) && std::find(disabled.begin(), disabled.end(), &*it) == disabled.end()) return &*it;
    }
    return nullptr;
}

}  // namespace

const KernelVariant* find_kernel_variant(std::string_view name) noexcept {
    for (const KernelVariant& variant : kernel_variants()) {
        if (variant.name == name) return &variant;
    }
    return nullptr;
}

KernelSelection select_kernel(std::string_view forced, std::string_view disabled) {
    // The generic variant runs everywhere: the widest supported one exists.
    KernelSelection selection{widest_supported({}), {}};
    const auto fail = [&](std::string text) {
        selection.error = std::move(text);
        return selection;
    };
    const auto every = [](const KernelVariant&) { return true; };

    std::vector<const KernelVariant*> masked;
    for (std::size_t start = 0; start <= disabled.size();) {
        const std::size_t comma = std::min(disabled.find(',', start), disabled.size());
        const std::string_view name = trimmed(disabled.substr(start, comma - start));
        start = comma + 1;
        if (name.empty()) continue;
        const KernelVariant* variant = find_kernel_variant(name);
        if (variant == nullptr) {
            return fail(setting(disabled_kernels_environment_variable, disabled) + ": '" + std::string(name) + "'" +
                        unknown_variant_text + names(every));
        }
        masked.push_back(variant);
    }

    forced = trimmed(forced);
    if (!forced.empty()) {
        const KernelVariant* variant = find_kernel_variant(forced);
        if (variant == nullptr) {
            return fail(setting(kernel_environment_variable, forced) + unknown_variant_text + names(every));
        }
        if (!supported(*variant)) {
            return fail(setting(kernel_environment_variable, forced) + unsupported_variant_text + names(supported));
        }
        if (std::find(masked.begin(), masked.end(), variant) != masked.end()) {
            return fail(setting(kernel_environment_variable, forced) + forced_and_disabled_text +
                        setting(disabled_kernels_environment_variable, disabled));
        }
        selection.running = variant;
        return selection;
    }
    const KernelVariant* widest = widest_supported(masked);
    if (widest == nullptr) {
        return fail(setting(disabled_kernels_environment_variable, disabled) + nothing_left_text + names(supported));
    }
    selection.running = widest;
    return selection;
}

const KernelSelection& kernel_selection() {
    static const KernelSelection selection =
        select_kernel(simd::environment_variable(kernel_environment_variable),
                      simd::environment_variable(disabled_kernels_environment_variable));
    return selection;
}

const KernelVariant& active_kernel() noexcept { return *kernel_selection().running; }

}  // namespace larkspur::statistical_tests
