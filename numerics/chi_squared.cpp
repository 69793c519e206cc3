#include "numerics/chi_squared.hpp"

#include <cmath>
#include <cstdint>
#include <string>

#include "numerics/float_bits.hpp"
#include "numerics/incomplete_gamma.hpp"
#include "base/internal_fault.hpp"

namespace larkspur::numerics {
namespace {

constexpr double half = 0.5;
constexpr double close_absolute_bound = 2.220446049250313e-16;
constexpr std::uint64_t close_ulp_bound = 4;

static_assert(bits_of(half) == 0x3FE0000000000000);
static_assert(bits_of(close_absolute_bound) == 0x3CB0000000000000);

// "Close" in the sense of an absolute epsilon or a few units in the last
// place; the ULP test only applies when both values share a sign.
bool is_close(double x, double shape) noexcept {
    if (std::fabs(x - shape) <= close_absolute_bound) {
        return true;
    }
    if (std::copysign(1.0, x) != std::copysign(1.0, shape) || std::isnan(x) || std::isnan(shape)) {
        return false;
    }
    const auto x_bits = static_cast<std::int64_t>(bits_of(x));
    const auto shape_bits = static_cast<std::int64_t>(bits_of(shape));
    const std::uint64_t distance = x_bits > shape_bits
                                       ? static_cast<std::uint64_t>(x_bits) - static_cast<std::uint64_t>(shape_bits)
                                       : static_cast<std::uint64_t>(shape_bits) - static_cast<std::uint64_t>(x_bits);
    return distance <= close_ulp_bound;
}

}  // namespace

std::string_view to_string(GammaParameterError error) noexcept {
    switch (error) {
        case GammaParameterError::ShapeInvalid:
            return "ShapeInvalid";
        case GammaParameterError::RateInvalid:
            return "RateInvalid";
        case GammaParameterError::ShapeAndRateInfinite:
            return "ShapeAndRateInfinite";
    }
    return "GammaParameterError";
}

std::expected<ChiSquaredDistribution, GammaParameterError> ChiSquaredDistribution::create(double freedom) noexcept {
    const double shape = freedom * half;
    if (!(shape > 0.0)) {
        return std::unexpected(GammaParameterError::ShapeInvalid);
    }
    return ChiSquaredDistribution(shape, half, freedom);
}

// F(x) = P(k/2, x/2) for k degrees of freedom (Abramowitz & Stegun 26.4.19).
double ChiSquaredDistribution::cdf(double x) const {
    if (x <= 0.0) {
        return 0.0;
    }
    if (is_close(x, shape_) && std::isinf(rate_)) {
        return 1.0;
    }
    if (std::isinf(rate_)) {
        return 0.0;
    }
    if (std::isinf(x)) {
        return 1.0;
    }
    const auto p = regularized_lower_gamma(shape_, x * rate_);
    if (!p) {
        throw InternalFault("called `Result::unwrap()` on an `Err` value: " + std::string(to_string(p.error())));
    }
    return *p;
}

}  // namespace larkspur::numerics
