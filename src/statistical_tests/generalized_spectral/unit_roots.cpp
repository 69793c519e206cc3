#include "src/statistical_tests/generalized_spectral/unit_roots.hpp"

#include <cstdint>

#include "numerics/double_double.hpp"

namespace larkspur::statistical_tests::generalized_spectral {

namespace {

using numerics::detail::DoubleDouble;
using numerics::detail::fast_two_sum;
using numerics::detail::two_product;
using numerics::detail::two_sum;

// Double-double operations (the "accurate" addition of Shewchuk and of Hida,
// Li and Bailey's QD library, and Dekker's product and quotient).
DoubleDouble dd_add(DoubleDouble a, DoubleDouble b) noexcept {
    DoubleDouble s = two_sum(a.hi, b.hi);
    const DoubleDouble t = two_sum(a.lo, b.lo);
    s = fast_two_sum(s.hi, s.lo + t.hi);
    return fast_two_sum(s.hi, s.lo + t.lo);
}

DoubleDouble dd_mul(DoubleDouble a, DoubleDouble b) noexcept {
    const DoubleDouble p = two_product(a.hi, b.hi);
    return fast_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

DoubleDouble dd_mul(DoubleDouble a, double b) noexcept {
    const DoubleDouble p = two_product(a.hi, b);
    return fast_two_sum(p.hi, p.lo + a.lo * b);
}

DoubleDouble dd_div(DoubleDouble a, double d) noexcept {
    const double q1 = a.hi / d;
    const DoubleDouble p = two_product(q1, d);
    const double remainder = ((a.hi - p.hi) - p.lo) + a.lo;
    return fast_two_sum(q1, remainder / d);
}

DoubleDouble negated(DoubleDouble a) noexcept { return {-a.hi, -a.lo}; }

constexpr int taylor_terms = 15;

// sin(phi) and cos(phi) for |phi| <= pi/4, rounded to binary64.
struct SinCos {
    double sin;
    double cos;
};

SinCos sin_cos(DoubleDouble phi) noexcept {
    const DoubleDouble phi2 = dd_mul(phi, phi);
    DoubleDouble sin_terms[taylor_terms];
    DoubleDouble cos_terms[taylor_terms];
    sin_terms[0] = phi;
    cos_terms[0] = {1.0, 0.0};
    for (int i = 1; i < taylor_terms; ++i) {
        const auto even = static_cast<double>(2 * i);
        // phi^(2i+1) / (2i+1)! and phi^(2i) / (2i)!, with the signs of the series.
        sin_terms[i] = negated(dd_div(dd_mul(sin_terms[i - 1], phi2), even * (even + 1.0)));
        cos_terms[i] = negated(dd_div(dd_mul(cos_terms[i - 1], phi2), (even - 1.0) * even));
    }
    DoubleDouble s = sin_terms[taylor_terms - 1];
    DoubleDouble c = cos_terms[taylor_terms - 1];
    for (int i = taylor_terms - 2; i >= 0; --i) {
        s = dd_add(s, sin_terms[i]);
        c = dd_add(c, cos_terms[i]);
    }
    return {s.hi, c.hi};
}

}  // namespace

void unit_roots(std::size_t length, Complex* out) noexcept {
    // pi/4 as a double-double: pi to 107 bits, divided by 4 exactly.
    constexpr DoubleDouble quarter_pi{0x1.921fb54442d18p+1 / 4.0, 0x1.1a62633145c07p-53 / 4.0};
    const auto n = static_cast<std::uint64_t>(length);
    for (std::uint64_t k = 0; k < n; ++k) {
        // 2 pi k / N = (pi/4) (8k / N) = (pi/4) (octant + rest / N).
        const std::uint64_t octant = (8 * k) / n;
        const std::uint64_t rest = (8 * k) % n;
        // Even octants measure phi from their start, odd ones from the next
        // boundary backwards, so |phi| <= pi/4 and the angle is q pi/4 + phi, q even.
        const bool odd = (octant & 1U) != 0;
        const std::uint64_t q = odd ? octant + 1 : octant;
        const std::uint64_t numerator = odd ? n - rest : rest;
        DoubleDouble phi = dd_div(dd_mul(quarter_pi, static_cast<double>(numerator)), static_cast<double>(n));
        if (odd) phi = negated(phi);
        const SinCos sc = sin_cos(phi);
        double cos_angle = sc.cos;
        double sin_angle = sc.sin;
        switch ((q / 2) % 4) {
            case 0:
                break;
            case 1:
                cos_angle = -sc.sin, sin_angle = sc.cos;
                break;
            case 2:
                cos_angle = -sc.cos, sin_angle = -sc.sin;
                break;
            default:
                cos_angle = sc.sin, sin_angle = -sc.cos;
                break;
        }
        // + 0.0 turns a -0 into +0 (round to nearest), so zeros have one sign.
        out[k] = {cos_angle + 0.0, -sin_angle + 0.0};
    }
}

}  // namespace larkspur::statistical_tests::generalized_spectral
