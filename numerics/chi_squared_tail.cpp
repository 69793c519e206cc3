#include "numerics/chi_squared_tail.hpp"

#include <bit>
#include <cstdint>
#include <limits>

#include "numerics/double_double.hpp"
#include "numerics/exp_log_fast.hpp"
#include "numerics/float_bits.hpp"
#include "numerics/floating_point_environment.hpp"

// Method. With a = freedom/2 and y = x/2 the tail is Q(a, y) (Abramowitz &
// Stegun 26.4.19), and because a is an integer or a half-integer, Q is a sum
// of positive terms T_j = e^-y y^j / Gamma(j + 1):
//   a integer:       Q(a, y) = T_0 + T_1 + ... + T_(a-1),
//   a half-integer:  Q(a, y) = erfc(sqrt y) + T_(1/2) + T_(3/2) + ... + T_(a-1),
// both from the recurrence Q(a + 1, y) = Q(a, y) + T_a (DLMF 8.8.2) started
// at Q(1, y) = e^-y and Q(1/2, y) = erfc(sqrt y) (DLMF 8.4.6). No
// cancellation can occur, and no 1 - F appears, so the relative accuracy
// holds however small Q is. erfc(sqrt y) is written as T_(-1/2) h(y), h in
// (0, 1), h from the continued fraction for Q(1/2, y) (Numerical Recipes,
// 2nd ed., eq. 6.2.7; Legendre's fraction, DLMF 8.9.2), evaluated
// backwards, which needs y > 2 to converge quickly. For half-integer a and
// y <= 2 the complement is used instead: Q = 1 - P(a, y) with
// P(a, y) = T_a + T_(a+1) + ... (A&S 6.5.29), where Q >= erfc(sqrt 2) > 0.045
// bounds the cancellation by 5 bits of a double-double.
//
// Every sum is formed as T_p (1 + sum of T_j / T_p) around its largest term
// T_p (p the largest index <= y, clipped to the index range): the ratios
// T_(j-1) / T_j = j / y and T_(j+1) / T_j = y / (j + 1) are at most 1 moving
// away from p, so nothing overflows, and the sum stops once the next term
// and its geometric tail fall below 2^-112 of the sum. Ratios and sums are
// double-double (numerics/double_double.hpp), 2^-104 per step.
//
// ln T_p is the delicate part: e^(ln T_p) must be right to about 2^-60 in
// relative terms while ln T_p lies anywhere down to -833, so ln T_p is a
// double-double with an absolute error near 2^-62:
//   * p + 1 < 32: ln T_p = -y + p ln y - ln Gamma(p + 1), the gamma value an
//     exact-to-2^-104 product (of p, p - 1, ..., times sqrt(pi) for halves).
//   * p + 1 = z >= 32: Stirling's series (DLMF 5.11.1) folded into the
//     term, with d = (y - z) / z:
//       ln T_p = p (ln(1 + d) - d) - d - ln(2 pi z) / 2 - sum_k B_2k / (2k (2k-1) z^(2k-1)),
//     so that no large ln y and ln Gamma cancel; ln(1 + d) - d comes from
//     the series of atanh for |d| <= 1/4 (ln(1 + d) = 2 atanh(d / (2 + d))).
// The double-double logarithms are the fast path of cr_log (absolute error
// below 2^-74 here), the exponential the fast path of cr_exp (2^-73
// relative). Then e^(ln T_p) times the sum is rounded once, on the
// subnormal grid when it is that small: the error is half an ulp plus about
// 2^-58 relative, and against mpmath every point checked so far is the
// correctly rounded value (tools/chi2_tail_check.py reports the largest error).
namespace larkspur::numerics {
namespace {

using detail::DoubleDouble;
using detail::fast_two_sum;
using detail::two_product;
using detail::two_sum;

constexpr double half_ln_two_pi_hi = 0.9189385332046728;
constexpr double half_ln_two_pi_lo = -3.8782941580672414e-17;
constexpr double ln_sqrt_pi_hi = 0.5723649429247001;
constexpr double ln_sqrt_pi_lo = 5.132975581353913e-18;
constexpr double ln_two_hi = 0.6931471805599453;
constexpr double ln_two_lo = 2.3190468138462996e-17;

static_assert(bits_of(half_ln_two_pi_hi) == 0x3FED67F1C864BEB5);
static_assert(bits_of(half_ln_two_pi_lo) == 0xBC865B5A1B7FF5DF);
static_assert(bits_of(ln_sqrt_pi_hi) == 0x3FE250D048E7A1BD);
static_assert(bits_of(ln_sqrt_pi_lo) == 0x3C57ABF2AD8D5088);
static_assert(bits_of(ln_two_hi) == 0x3FE62E42FEFA39EF);
static_assert(bits_of(ln_two_lo) == 0x3C7ABC9E3B39803F);

// B_2k / (2k (2k - 1)) for k = 2..8 (k = 1, 1/12, is formed in
// double-double); at z >= 32 the first omitted term, k = 9, is below 2^-83.
constexpr double stirling_2 = -0.002777777777777778;
constexpr double stirling_3 = 0.0007936507936507937;
constexpr double stirling_4 = -0.0005952380952380953;
constexpr double stirling_5 = 0.0008417508417508417;
constexpr double stirling_6 = -0.0019175269175269176;
constexpr double stirling_7 = 0.00641025641025641;
constexpr double stirling_8 = -0.029550653594771242;

static_assert(bits_of(stirling_2) == 0xBF66C16C16C16C17);
static_assert(bits_of(stirling_3) == 0x3F4A01A01A01A01A);
static_assert(bits_of(stirling_4) == 0xBF43813813813814);
static_assert(bits_of(stirling_5) == 0x3F4B951E2B18FF23);
static_assert(bits_of(stirling_6) == 0xBF5F6AB0D9993C7D);
static_assert(bits_of(stirling_7) == 0x3F7A41A41A41A41A);
static_assert(bits_of(stirling_8) == 0xBF9E4286CB0F5398);

constexpr double stirling_bound = 32.0;
// Below 2^-120, P(a, y) <= P(1/2, y) = erf(sqrt y) < 1.13 sqrt(y) < 2^-60,
// far below 2^-54, half the spacing of doubles below 1: Q rounds to 1.
constexpr double smallest_statistic = 0x1p-120;
// Half-integer a and y at most this: Q = 1 - P (see Method).
constexpr double complement_bound = 2.0;
// A term is dropped, with its tail, below this fraction of the sum.
constexpr double negligible = 0x1p-112;
// e^(ln T_p) times the sum is below 2^-1075 (rounds to +0) when ln T_p <
// -833: the sum counts at most 2^31 + 2 terms, each at most T_p.
constexpr double underflow_bound = -833.0;
// ln T_p below this in the complement: P < 2^-140, Q rounds to 1.
constexpr double complement_negligible = -100.0;
// Shift for exponents below cr_exp's fast domain (-745.2).
constexpr double deep_exponent = -700.0;
constexpr double deep_shift = 128.0;
constexpr double atanh_bound = 0.25;
// Continued fraction for h(y): a step that changes it by at most this
// leaves the double unchanged.
constexpr double fraction_tolerance = 0x1p-56;

DoubleDouble add(DoubleDouble a, DoubleDouble b) noexcept {
    const DoubleDouble s = two_sum(a.hi, b.hi);
    return fast_two_sum(s.hi, s.lo + (a.lo + b.lo));
}

DoubleDouble negate(DoubleDouble a) noexcept { return {-a.hi, -a.lo}; }

DoubleDouble multiply(DoubleDouble a, double b) noexcept {
    const DoubleDouble p = two_product(a.hi, b);
    return fast_two_sum(p.hi, p.lo + a.lo * b);
}

DoubleDouble multiply(DoubleDouble a, DoubleDouble b) noexcept {
    const DoubleDouble p = two_product(a.hi, b.hi);
    return fast_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

// The remainder a.hi - q b is formed exactly (two_product; the subtraction
// of nearly equal values is exact), then corrected by one more quotient.
DoubleDouble divide(DoubleDouble a, double b) noexcept {
    const double q = a.hi / b;
    const DoubleDouble p = two_product(q, b);
    const double r = (((a.hi - p.hi) - p.lo) + a.lo) / b;
    return fast_two_sum(q, r);
}

DoubleDouble divide(DoubleDouble a, DoubleDouble b) noexcept {
    const double q = a.hi / b.hi;
    const DoubleDouble r = add(a, negate(multiply(b, q)));
    return fast_two_sum(q, r.hi / b.hi);
}

// ln v for v > 0 (v = 1 exactly is outside the fast path's domain).
DoubleDouble log_of(double v) noexcept {
    if (v == 1.0) return {0.0, 0.0};
    const detail::DoubleDoubleWithError l = detail::log_approximation(v);
    return {l.hi, l.lo};
}

DoubleDouble log_of(DoubleDouble v) noexcept { return add(log_of(v.hi), {v.lo / v.hi, 0.0}); }

// ln(1 + d) - d for |d| <= 1/4: with u = d / (2 + d), ln(1 + d) = 2u (1 + u^2/3 + u^4/5 + ...)
// (A&S 4.1.27) and 2u - d = -u d exactly, so the leading terms cancel in
// algebra, not in rounding. |u| <= 1/7: about 20 terms.
DoubleDouble log1p_minus_identity(DoubleDouble d) noexcept {
    const DoubleDouble u = divide(d, add({2.0, 0.0}, d));
    const DoubleDouble u2 = multiply(u, u);
    DoubleDouble power = u2;
    DoubleDouble series = divide(power, 3.0);
    for (double k = 5.0;; k += 2.0) {
        power = multiply(power, u2);
        const DoubleDouble term = divide(power, k);
        series = add(series, term);
        if (term.hi <= negligible * series.hi) break;
    }
    return add(negate(multiply(u, d)), multiply(multiply(u, series), 2.0));
}

// ln T_j = -y + j ln y - ln Gamma(j + 1) for j in {-1/2, 0, 1/2, 1, ...}
// (see Method). Returns -inf when T_j is certainly below e^-4095.
DoubleDouble log_term(double y, double j) noexcept {
    const double z = j + 1.0;
    if (z < stirling_bound) {
        DoubleDouble gamma{1.0, 0.0};
        for (double factor = z - 1.0; factor > 0.0; factor -= 1.0) gamma = multiply(gamma, factor);
        DoubleDouble result = add({-y, 0.0}, negate(log_of(gamma)));
        if (j != 0.0) result = add(result, multiply(log_of(y), j));
        if (z - static_cast<double>(static_cast<std::int64_t>(z)) != 0.0) {
            result = add(result, {-ln_sqrt_pi_hi, -ln_sqrt_pi_lo});
        }
        return result;
    }
    // ln T_j <= -d - ln(2 pi z)/2 < -4095 past this (ln(1 + d) - d <= 0).
    if (y > 4096.0 * z) return {-std::numeric_limits<double>::infinity(), 0.0};
    const DoubleDouble d = divide(two_sum(y, -z), z);
    const DoubleDouble g = (d.hi <= atanh_bound && d.hi >= -atanh_bound) ? log1p_minus_identity(d)
                                                                         : add(log_of(add({1.0, 0.0}, d)), negate(d));
    DoubleDouble result = add(multiply(g, j), negate(d));
    result = add(result, negate(multiply(log_of(z), 0.5)));
    result = add(result, {-half_ln_two_pi_hi, -half_ln_two_pi_lo});
    const double w = 1.0 / z;
    const double w2 = w * w;
    const double rest =
        ((w2 * w) *
         (stirling_2 +
          w2 * (stirling_3 +
                w2 * (stirling_4 + w2 * (stirling_5 + w2 * (stirling_6 + w2 * (stirling_7 + w2 * stirling_8)))))));
    result = add(result, negate(divide({1.0, 0.0}, 12.0 * z)));
    return add(result, {-rest, 0.0});
}

// h(y) = erfc(sqrt y) / T_(-1/2) = y / (y + 1/2 - 1 (1/2) / (y + 5/2 - 2 (3/2) / (y + 9/2 - ...)))
// for y > 2: the depth is found by a forward (modified Lentz) pass, then the
// fraction is evaluated from the bottom up in double-double, where rounding
// errors are damped instead of multiplied step after step.
DoubleDouble erfc_ratio(double y) noexcept {
    constexpr double tiny = 0x1p-1000;
    double b = y + 0.5;
    double c = 1.0 / tiny;
    double d = 1.0 / b;
    std::int64_t depth = 0;
    while (true) {
        ++depth;
        const double i = static_cast<double>(depth);
        const double numerator = -i * (i - 0.5);
        b = b + 2.0;
        d = numerator * d + b;
        if (d == 0.0) d = tiny;
        c = b + numerator / c;
        if (c == 0.0) c = tiny;
        d = 1.0 / d;
        const double delta = c * d;
        if (delta - 1.0 <= fraction_tolerance && 1.0 - delta <= fraction_tolerance) break;
    }
    // The forward pass stops when a step no longer moves a double (2^-53);
    // twice as deep takes the truncation error below 2^-75 (the fraction
    // converges at least like exp(-c sqrt(depth y)) for y > 2).
    depth = 2 * depth + 8;
    const double last = static_cast<double>(depth);
    DoubleDouble t = two_sum(y, 2.0 * last + 0.5);
    for (std::int64_t k = depth; k >= 1; --k) {
        const double i = static_cast<double>(k);
        // i (i - 1/2) and 2i - 3/2 are exact; y + (2i - 3/2) is kept whole.
        t = add(two_sum(y, 2.0 * i - 1.5), negate(divide({i * (i - 0.5), 0.0}, t)));
    }
    return divide({y, 0.0}, t);
}

// The terms left, term (ratio + ratio^2 + ...) at most since the ratios
// decrease, are below `negligible` of the sum (the bound's own rounding is
// immaterial at 2^-112).
bool is_negligible(DoubleDouble term, double ratio, DoubleDouble sum) noexcept {
    return ratio < 1.0 && term.hi * ratio <= (negligible * sum.hi) * (1.0 - ratio);
}

// sum over j = low, low + 1, ..., high (high may be +inf) of T_j / T_peak,
// the term at j = -1/2 (when low is) weighted by h.
DoubleDouble relative_sum(double y, double peak, double low, double high, DoubleDouble h) noexcept {
    DoubleDouble sum = peak == -0.5 ? h : DoubleDouble{1.0, 0.0};
    DoubleDouble term{1.0, 0.0};
    for (double j = peak; j > low; j -= 1.0) {
        const double ratio = j / y;  // T_(j-1) / T_j, smaller at every step
        if (is_negligible(term, ratio, sum)) break;
        term = divide(multiply(term, j), y);
        sum = add(sum, j == 0.5 ? multiply(term, h) : term);
    }
    term = {1.0, 0.0};
    for (double j = peak; j < high; j += 1.0) {
        const double ratio = y / (j + 1.0);  // T_(j+1) / T_j, smaller at every step
        if (is_negligible(term, ratio, sum)) break;
        term = divide(multiply(term, y), j + 1.0);
        sum = add(sum, term);
    }
    return sum;
}

// The largest index in low, low + 1, ..., high whose term is the largest:
// the largest j <= y, clipped to the range.
double peak_index(double y, double low, double high) noexcept {
    if (y <= low) return low;
    if (y - low >= high - low) return high;
    return low + static_cast<double>(static_cast<std::int64_t>(y - low));
}

double power_of_two(std::int64_t e) noexcept {
    return std::bit_cast<double>(static_cast<std::uint64_t>(e + 1023) << 52);
}

// e^l times s as w 2^k, w a normalised double-double; l >= -833.
struct Scaled {
    DoubleDouble w;
    std::int64_t k;
};

Scaled exp_times(DoubleDouble l, DoubleDouble s) noexcept {
    std::int64_t shift = 0;
    if (l.hi < deep_exponent) {
        l = add(l, {deep_shift * ln_two_hi, deep_shift * ln_two_lo});
        shift = -static_cast<std::int64_t>(deep_shift);
    }
    DoubleDouble e{1.0, 0.0};
    std::int64_t m = 0;
    if (l.hi >= 0x1p-54 || l.hi <= -0x1p-54) {
        const detail::ExpApproximation approximation = detail::exp_approximation(l.hi);
        // e^(hi + lo) = e^hi (1 + lo) to within lo^2 < 2^-86.
        e = fast_two_sum(approximation.hi, approximation.lo);
        e = add(e, {e.hi * l.lo, 0.0});
        m = approximation.m;
    } else {
        e = fast_two_sum(1.0, l.hi + l.lo);  // e^l = 1 + l to within 2^-108
    }
    return {multiply(e, s), m + shift};
}

// w 2^k rounded once to the nearest double (ties to even), subnormals on
// their own grid; w.hi > 0 and normal, -1200 < k < 64.
double round_scaled(Scaled value) noexcept {
    const DoubleDouble w = value.w;
    const std::int64_t k = value.k;
    const auto exponent = static_cast<std::int64_t>((bits_of(w.hi) >> 52) & 0x7FF) - 1023;
    if (k + exponent >= -1022) {
        // w.hi is w rounded (normalised double-double); exact scaling.
        if (k < -1000) return (w.hi * power_of_two(k + 600)) * power_of_two(-600);
        return w.hi * power_of_two(k);
    }
    // Subnormal: round q = w 2^(k+1074), below 2^52, to an integer.
    const double scale = power_of_two(k + 1074);
    const double q = w.hi * scale;
    const double q_low = w.lo * scale;
    constexpr double integer_shift = 0x1p52;
    double n = (q + integer_shift) - integer_shift;
    const DoubleDouble rest = two_sum(q - n, q_low);  // q - n is exact, |q - n| <= 1/2
    const bool odd = (static_cast<std::uint64_t>(n) & 1U) != 0;
    if (rest.hi > 0.5 || (rest.hi == 0.5 && (rest.lo > 0.0 || (rest.lo == 0.0 && odd)))) {
        n = n + 1.0;
    } else if (rest.hi < -0.5 || (rest.hi == -0.5 && (rest.lo < 0.0 || (rest.lo == 0.0 && odd)))) {
        n = n - 1.0;
    }
    return n * 0x1p-1074;
}

double upper_tail(double x, std::uint64_t freedom) noexcept {
    const double y = x * 0.5;  // exact: x >= 2^-120 is normal
    const double a = static_cast<double>(freedom) * 0.5;
    const bool odd = (freedom & 1U) != 0;
    if (odd && y <= complement_bound) {
        const double peak = peak_index(y, a, std::numeric_limits<double>::infinity());
        const DoubleDouble l = log_term(y, peak);
        if (l.hi < complement_negligible) return 1.0;
        const Scaled p = exp_times(l, relative_sum(y, peak, a, std::numeric_limits<double>::infinity(), {1.0, 0.0}));
        const double scale = power_of_two(p.k);
        return add({1.0, 0.0}, {-(p.w.hi * scale), -(p.w.lo * scale)}).hi;
    }
    const double low = odd ? -0.5 : 0.0;
    const double high = a - 1.0;
    const double peak = odd && high >= 0.5 ? peak_index(y, 0.5, high) : peak_index(y, low, high);
    const DoubleDouble l = log_term(y, peak);
    if (l.hi < underflow_bound) return 0.0;
    const DoubleDouble h = odd ? erfc_ratio(y) : DoubleDouble{1.0, 0.0};
    const double q = round_scaled(exp_times(l, relative_sum(y, peak, low, high, h)));
    return q < 1.0 ? q : 1.0;
}

}  // namespace

double chi_squared_upper_tail(double x, std::uint64_t freedom) noexcept {
    const FloatingPointScope scope;
    if (freedom == 0 || freedom > max_tail_freedom || x != x) return std::numeric_limits<double>::quiet_NaN();
    if (x <= 0.0) return 1.0;
    if (x == std::numeric_limits<double>::infinity()) return 0.0;
    if (x < smallest_statistic) return 1.0;
    return upper_tail(x, freedom);
}

}  // namespace larkspur::numerics
