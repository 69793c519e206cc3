// el_test and the chi-squared upper tail under a caller's non-default
// floating-point modes: every directed rounding mode, and flush-to-zero with
// denormals-are-zero (what loading a library built with -Ofast does to a
// process). Each must give the bits of the default environment, and the
// caller's mode must read back unchanged.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "bit_equality.hpp"
#include "numerics/chi_squared_tail.hpp"
#include "src/statistical_tests/escanciano_lobato.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace {

using larkspur::statistical_tests::el_test;

// The control register that holds flush-to-zero (and, on x86-64,
// denormals-are-zero), without its status flags.
#if defined(__x86_64__) || defined(_M_X64)
constexpr std::uint64_t flush_to_zero_bits = 0x8040;  // MXCSR FTZ | DAZ
std::uint64_t read_control() { return _mm_getcsr() & ~std::uint32_t{0x3F}; }
void write_control(std::uint64_t value) { _mm_setcsr(static_cast<std::uint32_t>(value)); }
#elif defined(__aarch64__) && defined(__GNUC__)
constexpr std::uint64_t flush_to_zero_bits = std::uint64_t{1} << 24;  // FPCR FZ
std::uint64_t read_control() {
    std::uint64_t value;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(value));
    return value;
}
void write_control(std::uint64_t value) { __asm__ __volatile__("msr fpcr, %0" : : "r"(value)); }
#else
constexpr std::uint64_t flush_to_zero_bits = 0;
std::uint64_t read_control() { return 0; }
void write_control(std::uint64_t) {}
#endif

struct Outcome {
    bool ok;
    std::uint64_t p_tilde_or_kind;
    double statistic;
    double pvalue;
};

Outcome run(const std::vector<double>& x, std::uint64_t d) {
    const auto result = el_test(x.data(), x.size(), 2.4, d);
    if (!result) return {false, static_cast<std::uint64_t>(result.error().kind), 0.0, 0.0};
    return {true, result->p_tilde, result->statistic, result->pvalue};
}

// The worked examples, and random series at ordinary, tiny (subnormal fourth
// powers, the 1e-78 case that flush-to-zero turned into a zero tau-hat) and
// huge scales.
std::vector<std::vector<double>> corpus() {
    std::vector<std::vector<double>> series{{1, 2, 3, 4, 5, 6}, {1, -1, 1, -1, 1, -1, 1, -1}};
    std::mt19937_64 engine(17);
    std::normal_distribution<double> normal;
    for (const double scale : {1.0, 1e-78, 0x1p-255, 1e-300, 1e70}) {
        for (const std::size_t n : {7u, 250u, 1000u}) {
            std::vector<double> x(n);
            double previous = 0.0;
            for (double& v : x) v = previous = 0.3 * previous + normal(engine) * scale;
            series.push_back(std::move(x));
        }
    }
    return series;
}

// Tails from the bulk to the subnormal range (x = 1480, df = 1: 2 * 2^-1074).
std::vector<double> tails() {
    std::vector<double> values;
    for (const double x : {0.5, 3.0, 70.2, 350.0, 1400.0, 1480.0}) {
        for (const std::uint64_t df : {1u, 2u, 10u, 300u}) {
            values.push_back(larkspur::numerics::chi_squared_upper_tail(x, df));
        }
    }
    return values;
}

struct Mode {
    const char* name;
    int rounding;
    bool flush_to_zero;
};

void PrintTo(const Mode& mode, std::ostream* out) { *out << mode.name; }

class CallersMode : public ::testing::TestWithParam<Mode> {};

TEST_P(CallersMode, ChangesNoBitAndIsGivenBack) {
    const Mode mode = GetParam();
    if (mode.flush_to_zero && flush_to_zero_bits == 0) GTEST_SKIP() << "no flush-to-zero control on this target";
    const auto series = corpus();
    std::vector<Outcome> expected;
    for (const auto& x : series) {
        for (const std::uint64_t d : {1u, 3u}) expected.push_back(run(x, d));
    }
    const std::vector<double> expected_tails = tails();

    const std::uint64_t default_control = read_control();
    ASSERT_EQ(std::fesetround(mode.rounding), 0);
    if (mode.flush_to_zero) write_control(read_control() | flush_to_zero_bits);
    const std::uint64_t callers_control = read_control();
    std::vector<Outcome> actual;
    for (const auto& x : series) {
        for (const std::uint64_t d : {1u, 3u}) actual.push_back(run(x, d));
    }
    const std::vector<double> actual_tails = tails();
    const int rounding_after = std::fegetround();
    const std::uint64_t control_after = read_control();
    write_control(default_control);
    std::fesetround(FE_TONEAREST);

    EXPECT_EQ(rounding_after, mode.rounding);
    EXPECT_EQ(control_after, callers_control);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(::testing::Message() << "case " << i);
        EXPECT_EQ(actual[i].ok, expected[i].ok);
        EXPECT_EQ(actual[i].p_tilde_or_kind, expected[i].p_tilde_or_kind);
        EXPECT_TRUE(larkspur::testing::same_bits(actual[i].statistic, expected[i].statistic));
        EXPECT_TRUE(larkspur::testing::same_bits(actual[i].pvalue, expected[i].pvalue));
    }
    for (std::size_t i = 0; i < expected_tails.size(); ++i) {
        EXPECT_TRUE(larkspur::testing::same_bits(actual_tails[i], expected_tails[i])) << "tail " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, CallersMode,
                         ::testing::Values(Mode{"upward", FE_UPWARD, false}, Mode{"downward", FE_DOWNWARD, false},
                                           Mode{"toward_zero", FE_TOWARDZERO, false},
                                           Mode{"flush_to_zero", FE_TONEAREST, true}),
                         [](const ::testing::TestParamInfo<Mode>& param) { return std::string(param.param.name); });

}  // namespace
