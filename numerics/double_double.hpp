// Error-free transformations of binary64 arithmetic, the building blocks of
// double-double evaluation. Each returns (hi, lo) with hi + lo equal to the
// exact result of the operation, using only correctly rounded additions and
// multiplications: no fused multiply-add is needed (the project compiles with
// -ffp-contract=off, so none is introduced either), so the results do not
// depend on whether the CPU has one.
//   fast_two_sum: T. J. Dekker, "A floating-point technique for extending the
//     available precision", Numer. Math. 18 (1971) 224-242; needs |a| >= |b|
//     (or a = 0).
//   two_sum: D. E. Knuth, TAOCP vol. 2, 4.2.2, Theorem B (O. Moller 1965);
//     no condition on the operands.
//   split / two_product: Veltkamp's splitting and Dekker's product (Dekker
//     1971, mul12); exact when no product overflows or underflows, which the
//     callers' ranges (magnitudes between 2^-160 and 2^10) guarantee.
#pragma once

namespace larkspur::numerics::detail {

struct DoubleDouble {
    double hi;
    double lo;
};

[[nodiscard]] inline DoubleDouble fast_two_sum(double a, double b) noexcept {
    const double s = a + b;
    const double z = s - a;
    return {s, b - z};
}

[[nodiscard]] inline DoubleDouble two_sum(double a, double b) noexcept {
    const double s = a + b;
    const double b_virtual = s - a;
    const double a_virtual = s - b_virtual;
    return {s, (a - a_virtual) + (b - b_virtual)};
}

// a = hi + lo with hi holding the upper 26 bits of the significand and lo
// the rest (27 bits with its sign), so that products of halves are exact.
[[nodiscard]] inline DoubleDouble split(double a) noexcept {
    constexpr double veltkamp = 134217729.0;  // 2^27 + 1
    const double t = veltkamp * a;
    const double hi = t - (t - a);
    return {hi, a - hi};
}

[[nodiscard]] inline DoubleDouble two_product(double a, double b) noexcept {
    const DoubleDouble x = split(a);
    const DoubleDouble y = split(b);
    const double p = a * b;
    const double e = (((x.hi * y.hi - p) + x.hi * y.lo) + x.lo * y.hi) + x.lo * y.lo;
    return {p, e};
}

}  // namespace larkspur::numerics::detail
