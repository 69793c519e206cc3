// ChiSquaredDistribution: the chi-squared law as a gamma distribution with
// shape freedom/2 and rate 1/2, and its cumulative distribution function.
//
// Contract: construction fails with ShapeInvalid when freedom*0.5 is not
// positive (NaN included); +inf freedom is accepted. cdf is pure and
// bit-reproducible; it returns 0 for x <= 0, 1 for x = +inf, NaN for NaN and
// otherwise P(shape, x*rate). An IncompleteGammaError inside cdf cannot arise
// for a valid distribution and is raised as an InternalFault.
#pragma once

#include <expected>
#include <string_view>

namespace larkspur::numerics {

enum class GammaParameterError { ShapeInvalid, RateInvalid, ShapeAndRateInfinite };

[[nodiscard]] std::string_view to_string(GammaParameterError error) noexcept;

class ChiSquaredDistribution {
public:
    [[nodiscard]] static std::expected<ChiSquaredDistribution, GammaParameterError> create(double freedom) noexcept;

    [[nodiscard]] double shape() const noexcept { return shape_; }
    [[nodiscard]] double rate() const noexcept { return rate_; }
    [[nodiscard]] double freedom() const noexcept { return freedom_; }

    // Throws InternalFault only if the incomplete gamma rejects its arguments,
    // which the invariants of a constructed distribution rule out.
    [[nodiscard]] double cdf(double x) const;

private:
    ChiSquaredDistribution(double shape, double rate, double freedom) noexcept
        : shape_(shape), rate_(rate), freedom_(freedom) {}

    double shape_;
    double rate_;
    double freedom_;
};

}  // namespace larkspur::numerics
