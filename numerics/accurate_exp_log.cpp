#include "numerics/accurate_exp_log.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "numerics/exp_log_tables.hpp"

// Method. Plain multi-precision fixed point, chosen over triple-double for the
// hard cases because every error is a truncation of an exact integer
// operation and so bounds itself: numbers are 288-bit two's complement
// integers N standing for N / 2^256. Products are truncated to 256 fraction
// bits (error below 2^-256 each), divisions by small integers likewise.
//   exp(x) = 2^k exp(r), r = x - k ln 2, |r| <= ln(2)/2 + 2^-240, with exp(r)
//     summed from its Taylor series until the terms vanish (about 60 terms):
//     absolute error below 2^-245 on a value in [0.7, 1.42].
//   ln(x) = e ln 2 + ln(m) with m in [0.707, 1.414); given y0 near ln(m),
//     ln(m) = y0 + ln(1 + D) with D = m exp(-y0) - 1 small, ln(1 + D) from its
//     series (one Newton-like correction; D is about 2^-60 after the fast
//     path, the series runs until its terms vanish whatever D is): absolute
//     error below 2^-244, and |ln x| >= 2^-54 for x != 1.
// The single final rounding reads the round and sticky bits of the exact
// integer (round to nearest, ties to even, subnormal results on their own
// grid). Exact ties cannot occur: exp(x) and ln(x) are transcendental for
// every rational x except exp(0) and ln(1) (Lindemann), which the callers
// answer before coming here. The worst cases of binary64 exp and log lie
// 2^-62 ulp (2^-115 relative) or farther from a midpoint (V. Lefevre, J.-M. Muller,
// "Worst cases for correct rounding of the elementary functions in double
// precision", ARITH-15, 2001), so an error below 2^-190 always rounds right.
namespace larkspur::numerics::detail {
namespace {

constexpr std::size_t limb_count = 9;
constexpr int fraction_bits = 256;
constexpr int total_bits = 32 * static_cast<int>(limb_count);

struct Fixed {
    std::array<std::uint32_t, limb_count> w{};
};

constexpr Fixed from_limbs(const std::array<std::uint32_t, limb_count>& limbs) noexcept { return Fixed{limbs}; }

constexpr Fixed one() noexcept {
    Fixed value;
    value.w[limb_count - 1] = 1;
    return value;
}

bool is_negative(const Fixed& a) noexcept { return (a.w[limb_count - 1] >> 31) != 0; }

bool is_zero(const Fixed& a) noexcept {
    for (const std::uint32_t limb : a.w) {
        if (limb != 0) return false;
    }
    return true;
}

Fixed add(const Fixed& a, const Fixed& b) noexcept {
    Fixed sum;
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < limb_count; ++i) {
        const std::uint64_t s = std::uint64_t{a.w[i]} + b.w[i] + carry;
        sum.w[i] = static_cast<std::uint32_t>(s);
        carry = s >> 32;
    }
    return sum;
}

Fixed negate(const Fixed& a) noexcept {
    Fixed inverted;
    for (std::size_t i = 0; i < limb_count; ++i) inverted.w[i] = ~a.w[i];
    Fixed unit;
    unit.w[0] = 1;
    return add(inverted, unit);
}

Fixed subtract(const Fixed& a, const Fixed& b) noexcept { return add(a, negate(b)); }

Fixed magnitude(const Fixed& a) noexcept { return is_negative(a) ? negate(a) : a; }

// a * b / 2^256 for a, b >= 0, truncated.
Fixed multiply_magnitudes(const Fixed& a, const Fixed& b) noexcept {
    std::array<std::uint32_t, 2 * limb_count> product{};
    for (std::size_t i = 0; i < limb_count; ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < limb_count; ++j) {
            const std::uint64_t t = std::uint64_t{a.w[i]} * b.w[j] + product[i + j] + carry;
            product[i + j] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        product[i + limb_count] = static_cast<std::uint32_t>(carry);
    }
    Fixed result;
    for (std::size_t i = 0; i < limb_count; ++i)
        result.w[i] = product[i + static_cast<std::size_t>(fraction_bits / 32)];
    return result;
}

// Signed product, truncated toward zero.
Fixed multiply(const Fixed& a, const Fixed& b) noexcept {
    const Fixed product = multiply_magnitudes(magnitude(a), magnitude(b));
    return is_negative(a) != is_negative(b) ? negate(product) : product;
}

// a * k for a small unsigned k (the caller keeps the product in range).
Fixed multiply_small(const Fixed& a, std::uint32_t k) noexcept {
    Fixed result;
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < limb_count; ++i) {
        const std::uint64_t t = std::uint64_t{a.w[i]} * k + carry;
        result.w[i] = static_cast<std::uint32_t>(t);
        carry = t >> 32;
    }
    return result;
}

// a / k for a >= 0 and k > 0, truncated.
Fixed divide_small(const Fixed& a, std::uint32_t k) noexcept {
    Fixed quotient;
    std::uint64_t remainder = 0;
    for (std::size_t i = limb_count; i-- > 0;) {
        const std::uint64_t current = (remainder << 32) | a.w[i];
        quotient.w[i] = static_cast<std::uint32_t>(current / k);
        remainder = current % k;
    }
    return quotient;
}

bool bit_at(const Fixed& a, int index) noexcept {
    return ((a.w[static_cast<std::size_t>(index / 32)] >> (index % 32)) & 1U) != 0;
}

// The double value, exactly when its bits lie within [2^-256, 2^30]; bits
// below 2^-256 are truncated (only approximations are passed that small).
Fixed from_double(double value) noexcept {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    const auto biased = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t mantissa = bits & 0x000FFFFFFFFFFFFFULL;
    int exponent = -1074;  // value = mantissa * 2^exponent
    if (biased != 0) {
        mantissa |= 0x0010000000000000ULL;
        exponent = biased - 1075;
    }
    Fixed result;
    const int shift = exponent + fraction_bits;  // position of the mantissa's lowest bit
    for (int i = 0; i < 53; ++i) {
        const int position = shift + i;
        if (((mantissa >> i) & 1U) != 0 && position >= 0 && position < total_bits - 1) {
            result.w[static_cast<std::size_t>(position / 32)] |= std::uint32_t{1} << (position % 32);
        }
    }
    return (bits >> 63) != 0 ? negate(result) : result;
}

// 2^e for -1074 <= e <= 1023, built from its bit pattern.
double power_of_two(int e) noexcept {
    if (e >= -1022) return std::bit_cast<double>(static_cast<std::uint64_t>(e + 1023) << 52);
    return std::bit_cast<double>(std::uint64_t{1} << (e + 1074));
}

// value * 2^scale rounded to the nearest binary64 (ties to even), with
// subnormal results on their own grid and overflow to infinity.
double round_scaled(const Fixed& value, int scale) noexcept {
    const bool negative = is_negative(value);
    const Fixed n = magnitude(value);
    int top = -1;
    for (int i = total_bits - 1; i >= 0; --i) {
        if (bit_at(n, i)) {
            top = i;
            break;
        }
    }
    if (top < 0) return negative ? -0.0 : 0.0;
    const int exponent = top + scale - fraction_bits;  // value in [2^exponent, 2^(exponent+1))
    if (exponent > 1023)
        return negative ? -std::bit_cast<double>(0x7FF0000000000000ULL) : std::bit_cast<double>(0x7FF0000000000000ULL);
    const int lowest = exponent - 52 > -1074 ? exponent - 52 : -1074;  // exponent of the result's last bit
    const int shift = lowest - (scale - fraction_bits);                // bits of n below that last bit
    std::uint64_t q = 0;
    for (int i = top; i >= shift && i >= 0; --i) q = (q << 1) | (bit_at(n, i) ? 1U : 0U);
    if (shift < 0) {
        q <<= -shift;
    } else if (shift > 0 && bit_at(n, shift - 1)) {
        bool sticky = false;
        for (int i = shift - 2; i >= 0 && !sticky; --i) sticky = bit_at(n, i);
        if (sticky || (q & 1U) != 0) ++q;
    }
    // q <= 2^53 is exact as a double, and so is the product unless it
    // overflows, which is then the correct rounding.
    const double result = static_cast<double>(q) * power_of_two(lowest);
    return negative ? -result : result;
}

// exp(r) for |r| <= 0.36, from the Taylor series; even and odd terms are
// summed apart so that a negative r needs no signed arithmetic per term.
Fixed exp_series(const Fixed& r) noexcept {
    const Fixed size = magnitude(r);
    Fixed even = one();
    Fixed odd;
    Fixed term = one();
    for (std::uint32_t n = 1;; ++n) {
        term = divide_small(multiply_magnitudes(term, size), n);
        if (is_zero(term)) break;
        if ((n & 1U) != 0) {
            odd = add(odd, term);
        } else {
            even = add(even, term);
        }
    }
    return is_negative(r) ? subtract(even, odd) : add(even, odd);
}

// ln(1 + d) = d - d^2/2 + d^3/3 - ... for small |d|.
Fixed log1p_series(const Fixed& d) noexcept {
    Fixed sum;
    Fixed power = d;
    for (std::uint32_t n = 1; !is_zero(power); ++n) {
        Fixed term = divide_small(magnitude(power), n);
        if (is_negative(power)) term = negate(term);
        sum = (n & 1U) != 0 ? add(sum, term) : subtract(sum, term);
        power = multiply(power, d);
    }
    return sum;
}

Fixed ln2_times(std::int64_t k) noexcept {
    const Fixed product = multiply_small(from_limbs(tables::ln2_fixed), static_cast<std::uint32_t>(k < 0 ? -k : k));
    return k < 0 ? negate(product) : product;
}

// Nearest integer to value for |value| < 2^31, without the rounding mode.
std::int64_t nearest_integer(double value) noexcept {
    return static_cast<std::int64_t>(value < 0.0 ? value - 0.5 : value + 0.5);
}

constexpr double inverse_ln2 = 0x1.71547652b82fep+0;

}  // namespace

double accurate_exp(double x) noexcept {
    const std::int64_t k = nearest_integer(x * inverse_ln2);
    const Fixed r = subtract(from_double(x), ln2_times(k));
    return round_scaled(exp_series(r), static_cast<int>(k));
}

double accurate_log(double x, double approximation) noexcept {
    std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    std::int64_t adjust = 0;
    if (bits < 0x0010000000000000ULL) {  // subnormal: scale into the normal range
        bits = std::bit_cast<std::uint64_t>(x * 0x1p52);
        adjust = -52;
    }
    const std::uint64_t t = bits - tables::log_offset_bits;
    const std::int64_t raw_exponent = static_cast<std::int64_t>(t) >> 52;
    const double m = std::bit_cast<double>(bits - (static_cast<std::uint64_t>(raw_exponent) << 52));
    const std::int64_t e = raw_exponent + adjust;
    // y0 approximates ln(m); its error only sets how many series terms follow.
    const double y0 = approximation - static_cast<double>(e) * 0x1.62e42fefa39efp-1;
    const Fixed y = from_double(y0);
    const Fixed d = subtract(multiply(from_double(m), exp_series(negate(y))), one());
    const Fixed result = add(add(ln2_times(e), y), log1p_series(d));
    return round_scaled(result, 0);
}

}  // namespace larkspur::numerics::detail
