// regularized_lower_gamma: P(a, x), the regularised lower incomplete gamma
// function, by its power series (x <= 1 or x <= a) or its continued fraction.
//
// Contract: a pure function. NaN in either argument gives NaN (a success);
// a outside (0, +inf) gives AInvalid; x outside (0, +inf) gives XInvalid.
// Neither loop has an iteration cap: each runs until its 1e-15 tolerance test
// passes, and the order of every operation is fixed for bit reproducibility.
#pragma once

#include <expected>
#include <string_view>

namespace larkspur::numerics {

enum class IncompleteGammaError { AInvalid, XInvalid };

[[nodiscard]] std::string_view to_string(IncompleteGammaError error) noexcept;

[[nodiscard]] std::expected<double, IncompleteGammaError> regularized_lower_gamma(double a, double x) noexcept;

}  // namespace larkspur::numerics
