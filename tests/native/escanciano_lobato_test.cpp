#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>
#include <vector>

#include "bit_equality.hpp"
#include "src/statistical_tests/derived_lag.hpp"
#include "src/statistical_tests/escanciano_lobato.hpp"

namespace {

using larkspur::statistical_tests::allocate_lag_buffer;
using larkspur::statistical_tests::el_test;
using larkspur::statistical_tests::ElErrorKind;
using larkspur::testing::same_bits;

constexpr double inf = std::numeric_limits<double>::infinity();

struct Expected {
    std::uint64_t p_tilde;
    double statistic;
    double pvalue;
};

struct Case {
    const char* name;
    std::vector<double> series;
    double q;
    std::uint64_t d;
    Expected expected;
};

class ElResults : public ::testing::TestWithParam<Case> {};

TEST_P(ElResults, MatchToTheBit) {
    const Case& c = GetParam();
    const auto result = el_test(c.series.data(), c.series.size(), c.q, c.d);
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(result->p_tilde, c.expected.p_tilde);
    EXPECT_TRUE(same_bits(result->statistic, c.expected.statistic));
    EXPECT_TRUE(same_bits(result->pvalue, c.expected.pvalue));
}

INSTANTIATE_TEST_SUITE_P(
    Documented, ElResults,
    ::testing::Values(
        Case{"example_a", {1, 2, 3, 4, 5, 6}, 2.4, 2, {1, 3.134328358208956, 0.07665995627301825}},
        Case{"example_a_default_d", {1, 2, 3, 4, 5, 6}, 2.4, 1, {1, 3.134328358208956, 0.07665995627301825}},
        Case{"example_b", {1, -1, 1, -1, 1, -1, 1, -1}, 2.4, 2, {2, 16.0, 6.334248366623996e-05}},
        // n = 1: lag 1 has no pairs, L_1 is NaN and never chosen.
        Case{"single_value", {42.0}, 2.4, 1, {0, -0.0, 1.0}},
        // d = n: lag n is NaN, skipped by the maximum, never selected.
        Case{"lag_equal_to_length", {1, 2, 4}, 2.4, 3, {2, 3.036585365853659, 0.08140699055900458}},
        Case{"lag_below_length", {1, 2, 4}, 2.4, 2, {2, 3.036585365853659, 0.08140699055900458}},
        // gamma-hat exactly 0 at lag 1: rho^2 = +0.0 and L_1 = -ln 5 > -inf.
        Case{"zero_autocovariance", {1, 3, 2, 5, 4}, 2.4, 1, {1, 0.0, 1.0}},
        // q = +inf forces the p ln n penalty.
        Case{"infinite_q", {1, -1, 1, -1, 1, -1, 1, -1}, inf, 2, {2, 16.0, 6.334248366623996e-05}}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

TEST(ElResultsFixups, LagEqualToLengthPValueIsConsistent) {
    // The d = n and d = n - 1 results are identical in every field.
    const std::vector<double> x{1, 2, 4};
    const auto a = el_test(x.data(), 3, 2.4, 3);
    const auto b = el_test(x.data(), 3, 2.4, 2);
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(same_bits(a->pvalue, b->pvalue));
}

struct FailureCase {
    const char* name;
    std::vector<double> series;
    std::uint64_t d;
    ElErrorKind kind;
    std::uint64_t value;
    const char* message;
};

class ElFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ElFailures, ReportTheFirstFailingCheck) {
    const FailureCase& c = GetParam();
    const auto result = el_test(c.series.data(), c.series.size(), 2.4, c.d);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, c.kind);
    EXPECT_EQ(result.error().value, c.value);
    EXPECT_EQ(result.error().message(), c.message);
}

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();
constexpr char too_large[] =
    "data are too large in magnitude for this test: rescale them (the test does not depend on scale)";

INSTANTIATE_TEST_SUITE_P(
    Documented, ElFailures,
    ::testing::Values(
        FailureCase{"constant", {7, 7, 7, 7}, 2, ElErrorKind::ZeroTau, 1, "Zero \u03c4\u0302 value at lag 1"},
        // Zero tau-hat at lag 2 is reported before d > n would be at lag 4.
        FailureCase{
            "zero_tau_before_length", {1, 3, 2}, 4, ElErrorKind::ZeroTau, 2, "Zero \u03c4\u0302 value at lag 2"},
        // Infinite or overflowing data: refused at the first lag, not p = 1.
        FailureCase{"positive_infinity", {1, inf, 2, 3, 5}, 2, ElErrorKind::NotFinite, 1, too_large},
        FailureCase{"negative_infinity", {1, 2, -inf, 3, 5}, 2, ElErrorKind::NotFinite, 1, too_large},
        FailureCase{"overflowing_sum", {1e308, 1e308, -1e308, 5, 7}, 2, ElErrorKind::NotFinite, 1, too_large},
        FailureCase{
            "single_value_lag_two", {1}, 2, ElErrorKind::LagExceedsLength, 1, "d must not exceed the length of data"},
        FailureCase{
            "lag_past_length", {1, 2, 4}, 4, ElErrorKind::LagExceedsLength, 3, "d must not exceed the length of data"},
        // Huge d never sizes the buffer from d: it reaches the same error.
        FailureCase{"d_1e12",
                    {1, 2, 4},
                    1000000000000ULL,
                    ElErrorKind::LagExceedsLength,
                    3,
                    "d must not exceed the length of data"},
        FailureCase{"d_2_pow_62",
                    {1, 2, 4},
                    std::uint64_t{1} << 62,
                    ElErrorKind::LagExceedsLength,
                    3,
                    "d must not exceed the length of data"},
        FailureCase{
            "d_u64_max", {1, 2, 4}, u64_max, ElErrorKind::LagExceedsLength, 3, "d must not exceed the length of data"}),
    [](const ::testing::TestParamInfo<FailureCase>& param) { return std::string(param.param.name); });

TEST(ElFailureMessages, ZeroTauTextIsUtf8WithA23BytePrefix) {
    const larkspur::statistical_tests::ElError error{ElErrorKind::ZeroTau, 18446744073709551615ULL};
    const std::string text = error.message();
    EXPECT_EQ(text, "Zero \xCF\x84\xCC\x82 value at lag 18446744073709551615");
    EXPECT_EQ(text.size(), 23U + 20U);
}

TEST(ElBuffer, UnaddressableSizesAreRefusedNotFatal) {
    EXPECT_EQ(allocate_lag_buffer(std::uint64_t{1} << 61), nullptr);  // past the byte limit
    EXPECT_EQ(allocate_lag_buffer(u64_max), nullptr);
    EXPECT_EQ(allocate_lag_buffer((std::uint64_t{1} << 60) - 1), nullptr);  // within limit, cannot be had
    const auto small = allocate_lag_buffer(4);
    ASSERT_NE(small, nullptr);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_TRUE(same_bits(small[i], 0.0));
}

TEST(ElTies, SmallerLagOrderWins) {
    // Lags 2 and 3 reach exactly the same criterion (n * rho_3^2 equals the
    // 2p penalty step to the bit), so the smaller order must be kept.
    const std::vector<double> x{1, -1, -1, 1, 1, 1, 1, -1, -1, -1, 1, 1, -1, -1, 1, 1, -1, -1};
    const auto result = el_test(x.data(), x.size(), 2.4, 4);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->p_tilde, 2U);
}

TEST(ElInput, ReadsUnalignedSeries) {
    const std::vector<double> x{1, 2, 3, 4, 5, 6};
    alignas(8) unsigned char storage[sizeof(double) * 6 + 8];
    for (std::size_t offset = 1; offset < 8; ++offset) {
        std::memcpy(storage + offset, x.data(), sizeof(double) * 6);
        const auto result = el_test(storage + offset, 6, 2.4, 2);
        ASSERT_TRUE(result.has_value());
        EXPECT_TRUE(same_bits(result->statistic, 3.134328358208956)) << offset;
    }
}

// The default d is the integer fifth root: on both sides of every fifth power
// below 2^40 (where it equals floor of a correctly rounded pow(n, 0.2)), and
// at the top of the 64-bit range.
TEST(DerivedLag, IsTheIntegerFifthRoot) {
    using larkspur::statistical_tests::derived_lag;
    EXPECT_EQ(derived_lag(0), 0U);
    for (std::uint64_t k = 1; k <= 256; ++k) {
        const std::uint64_t power = k * k * k * k * k;
        EXPECT_EQ(derived_lag(power - 1), k - 1) << power - 1;
        if (power < (std::uint64_t{1} << 40)) {
            EXPECT_EQ(derived_lag(power), k) << power;
            EXPECT_EQ(derived_lag(power + 1), k) << power + 1;
        }
    }
    const std::uint64_t top = std::uint64_t{7131} * 7131 * 7131 * 7131 * 7131;
    EXPECT_EQ(derived_lag(top - 1), 7130U);
    EXPECT_EQ(derived_lag(top), 7131U);
    EXPECT_EQ(derived_lag(UINT64_MAX), 7131U);
}

}  // namespace
