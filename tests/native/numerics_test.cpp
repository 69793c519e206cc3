#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "bit_equality.hpp"
#include "numerics/chi_squared.hpp"
#include "numerics/chi_squared_tail.hpp"
#include "numerics/correctly_rounded.hpp"
#include "numerics/incomplete_gamma.hpp"
#include "numerics/log_gamma.hpp"

namespace {

using larkspur::numerics::chi_squared_upper_tail;
using larkspur::numerics::ChiSquaredDistribution;
using larkspur::numerics::cr_exp;
using larkspur::numerics::cr_log;
using larkspur::numerics::GammaParameterError;
using larkspur::numerics::IncompleteGammaError;
using larkspur::numerics::log_gamma;
using larkspur::numerics::regularized_lower_gamma;
using larkspur::testing::same_bits;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

double chi_squared_1_pvalue(double statistic) {
    const auto distribution = ChiSquaredDistribution::create(1.0);
    EXPECT_TRUE(distribution.has_value());
    return 1.0 - distribution->cdf(statistic);
}

// pvalue: the test's 1 - F(x); tail: the direct upper tail
// chi_squared_upper_tail(x, 1), which is the correctly rounded value at
// every row (mpmath) and stays positive where 1 - F is 0.
struct PValueRow {
    double statistic;
    double pvalue;
    double tail;
};

class PValueTable : public ::testing::TestWithParam<PValueRow> {};

TEST_P(PValueTable, MatchesToTheBit) {
    const PValueRow row = GetParam();
    EXPECT_TRUE(same_bits(chi_squared_1_pvalue(row.statistic), row.pvalue)) << "statistic " << row.statistic;
    EXPECT_TRUE(same_bits(chi_squared_upper_tail(row.statistic, 1), row.tail)) << "statistic " << row.statistic;
}

INSTANTIATE_TEST_SUITE_P(ChiSquaredOneDegree, PValueTable,
                         ::testing::Values(
                             // cdf rule 1: non-positive statistics
                             PValueRow{-0.0, 1.0, 1.0}, PValueRow{0.0, 1.0, 1.0}, PValueRow{-1.0, 1.0, 1.0},
                             PValueRow{-inf, 1.0, 1.0},
                             // x * 0.5 within the near-zero bound: P = 0 exactly (the tail rounds
                             // to 1 below 2^-120 only)
                             PValueRow{1e-320, 1.0, 1.0}, PValueRow{1e-300, 1.0, 1.0},
                             PValueRow{2.220446049250313e-15, 1.0, 0.9999999624023955},
                             // series (the tail: 1 - P(1/2, x/2) up to x = 4)
                             PValueRow{0.5, 0.47950012218695337, 0.4795001221869535},
                             PValueRow{1.0, 0.31731050786291404, 0.3173105078629141},
                             PValueRow{2.0, 0.15729920705028488, 0.15729920705028513},
                             // continued fraction (the tail: erfc's fraction)
                             PValueRow{3.841458820694124, 0.050000000000000044, 0.05000000000000006},
                             PValueRow{10.0, 0.0015654022580025018, 0.0015654022580025497},
                             PValueRow{16.0, 6.334248366623996e-05, 6.334248366623985e-05},
                             // F rounds to 1.0 above about 70.13; the tail goes on, through the
                             // subnormals (1480: 2 * 2^-1074) to 0
                             PValueRow{70.2, 0.0, 5.358643843359859e-17}, PValueRow{100.0, 0.0, 1.523970604832105e-23},
                             PValueRow{1480.0, 0.0, 1e-323}, PValueRow{1500.0, 0.0, 0.0}, PValueRow{1e300, 0.0, 0.0},
                             // cdf rule 4 and NaN propagation
                             PValueRow{inf, 0.0, 0.0}, PValueRow{nan, nan, nan}));

// The tail for other degrees of freedom: even (e^-y times a finite sum),
// odd (erfc plus a finite sum), large df (Stirling's series for the term's
// gamma), the deep tail, and the largest df accepted. Correctly rounded
// values (mpmath); out-of-range df gives NaN.
TEST(ChiSquaredUpperTail, MatchesToTheBit) {
    struct TailRow {
        double x;
        std::uint64_t freedom;
        double tail;
    };
    for (const TailRow row : {TailRow{2.0, 2, 0.36787944117144233}, TailRow{3.0, 4, 0.5578254003710745},
                              TailRow{3.0, 3, 0.39162517627108895}, TailRow{1e-300, 4, 1.0},
                              TailRow{1400.0, 10, 9.920391479800145e-295}, TailRow{300.0, 299, 0.47285048381717},
                              TailRow{350.0, 300, 0.02473079726438742}, TailRow{2000.0, 300, 1.565659386727673e-248},
                              TailRow{4294967306.0, std::uint64_t{1} << 32, 0.49995408613428666}}) {
        EXPECT_TRUE(same_bits(chi_squared_upper_tail(row.x, row.freedom), row.tail))
            << "x " << row.x << ", df " << row.freedom;
    }
    EXPECT_TRUE(std::isnan(chi_squared_upper_tail(1.0, 0)));
    EXPECT_TRUE(std::isnan(chi_squared_upper_tail(1.0, (std::uint64_t{1} << 32) + 1)));
}

TEST(PValueBoundaries, JustAboveTheNearZeroBoundLeavesOne) {
    const double above = std::nextafter(2.220446049250313e-15, inf);
    EXPECT_LT(chi_squared_1_pvalue(above), 1.0);
}

TEST(PValueBoundaries, UnderflowToZeroHappensNearSeventy) {
    EXPECT_GT(chi_squared_1_pvalue(70.0), 0.0);
    EXPECT_TRUE(same_bits(chi_squared_1_pvalue(70.2), 0.0));
}

TEST(LogGamma, DocumentedValues) {
    EXPECT_TRUE(same_bits(log_gamma(0.5), 0.5723649429247));  // also a constant of incomplete_gamma.cpp
    EXPECT_TRUE(same_bits(log_gamma(1.0), -4.440892098500626e-16));
    EXPECT_TRUE(same_bits(log_gamma(2.0), 0.0));
    // The reflection branch: pins the platform's sin as well as its log.
    EXPECT_TRUE(same_bits(log_gamma(0.25), 1.2880225246980774));
    EXPECT_TRUE(same_bits(log_gamma(1e-3), 6.9071788853838534));
    EXPECT_TRUE(std::isnan(log_gamma(nan)));
}

TEST(LogGamma, BothBranchesApproximateTheLibraryGamma) {
    for (const double x : {0.1, 0.25, 0.49, 0.5, 0.75, 3.0, 7.5, 42.0, 170.5}) {
        EXPECT_NEAR(log_gamma(x), std::lgamma(x), 1e-12 * std::fmax(1.0, std::fabs(std::lgamma(x)))) << x;
    }
}

// The correctly rounded exp and log: special values, then every case of
// data/cr_hard_cases.txt (arguments whose result lies within 2^-60 ulp of a
// rounding boundary, thresholds, subnormals, neighbours of 1). The full
// comparison with mpmath is tools/cr_check.py; this one runs wherever the
// native tests run, under qemu on aarch64 too.
struct CrRow {
    double (*function)(double) noexcept;
    double x;
    double expected;
};

class CrSpecialValues : public ::testing::TestWithParam<CrRow> {};

TEST_P(CrSpecialValues, AreTheIeeeOnes) {
    const CrRow row = GetParam();
    EXPECT_TRUE(same_bits(row.function(row.x), row.expected)) << row.x;
}

INSTANTIATE_TEST_SUITE_P(ExpAndLog, CrSpecialValues,
                         ::testing::Values(CrRow{cr_exp, 0.0, 1.0}, CrRow{cr_exp, -0.0, 1.0}, CrRow{cr_exp, inf, inf},
                                           CrRow{cr_exp, -inf, 0.0}, CrRow{cr_exp, 1e308, inf},
                                           CrRow{cr_exp, -1e308, 0.0}, CrRow{cr_log, 1.0, 0.0},
                                           CrRow{cr_log, 0.0, -inf}, CrRow{cr_log, -0.0, -inf}, CrRow{cr_log, inf, inf},
                                           CrRow{cr_log, 4.9406564584124654e-324, -744.44007192138122}));

TEST(CrSpecialValues, NanForNanAndNegativeArguments) {
    for (const double x : {nan, -nan}) {
        EXPECT_TRUE(std::isnan(cr_exp(x)));
        EXPECT_TRUE(std::isnan(cr_log(x)));
    }
    for (const double x : {-1.0, -inf, -4.9406564584124654e-324}) EXPECT_TRUE(std::isnan(cr_log(x))) << x;
}

TEST(CrHardCases, EveryListedCaseIsCorrectlyRounded) {
    std::ifstream file(LARKSPUR_SOURCE_DIR "/data/cr_hard_cases.txt");
    ASSERT_TRUE(file) << "data/cr_hard_cases.txt not found";
    int checked = 0;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string function, x_text, y_text;
        fields >> function >> x_text >> y_text;
        const double x = std::strtod(x_text.c_str(), nullptr);
        const double expected = y_text == "inf" ? inf : std::strtod(y_text.c_str(), nullptr);
        const double got = function == "exp" ? cr_exp(x) : cr_log(x);
        EXPECT_TRUE(same_bits(got, expected)) << function << "(" << x_text << ")";
        ++checked;
    }
    EXPECT_EQ(checked, 100);
}

struct GammaErrorRow {
    double a;
    double x;
    IncompleteGammaError error;
};

class IncompleteGammaRejects : public ::testing::TestWithParam<GammaErrorRow> {};

TEST_P(IncompleteGammaRejects, OutOfDomain) {
    const GammaErrorRow row = GetParam();
    const auto result = regularized_lower_gamma(row.a, row.x);
    ASSERT_FALSE(result.has_value()) << row.a << ", " << row.x;
    EXPECT_EQ(result.error(), row.error);
}

INSTANTIATE_TEST_SUITE_P(Domain, IncompleteGammaRejects,
                         ::testing::Values(GammaErrorRow{0.5, 0.0, IncompleteGammaError::XInvalid},
                                           GammaErrorRow{0.5, -1.0, IncompleteGammaError::XInvalid},
                                           GammaErrorRow{0.5, inf, IncompleteGammaError::XInvalid},
                                           GammaErrorRow{0.0, 1.0, IncompleteGammaError::AInvalid},
                                           GammaErrorRow{-1.0, 1.0, IncompleteGammaError::AInvalid},
                                           GammaErrorRow{inf, 1.0, IncompleteGammaError::AInvalid},
                                           GammaErrorRow{-inf, 1.0, IncompleteGammaError::AInvalid},
                                           // a is checked before x
                                           GammaErrorRow{0.0, 0.0, IncompleteGammaError::AInvalid}));

TEST(IncompleteGamma, SpecialValues) {
    EXPECT_TRUE(same_bits(*regularized_lower_gamma(1e-16, 1.0), 1.0));  // near-zero a
    EXPECT_TRUE(same_bits(*regularized_lower_gamma(0.5, 1e-16), 0.0));  // near-zero x
    EXPECT_TRUE(std::isnan(*regularized_lower_gamma(nan, 1.0)));        // NaN before domain checks
    EXPECT_TRUE(std::isnan(*regularized_lower_gamma(-1.0, nan)));
    EXPECT_TRUE(same_bits(*regularized_lower_gamma(0.5, 1000.0), 1.0));  // exponent underflow, a < x
    EXPECT_TRUE(same_bits(*regularized_lower_gamma(1000.0, 0.5), 0.0));  // exponent underflow, a >= x
}

TEST(IncompleteGamma, AgreesWithClosedFormForHalfShape) {
    // P(1/2, x) = erf(sqrt(x)); both the series and the continued fraction.
    for (const double x : {0.01, 0.3, 1.0, 1.0000001, 2.5, 10.0, 30.0}) {
        EXPECT_NEAR(*regularized_lower_gamma(0.5, x), std::erf(std::sqrt(x)), 1e-14) << x;
    }
}

TEST(ChiSquaredConstruction, RejectsNonPositiveShape) {
    for (const double freedom : {0.0, -0.0, -1.0, nan, -inf}) {
        const auto distribution = ChiSquaredDistribution::create(freedom);
        ASSERT_FALSE(distribution.has_value()) << freedom;
        EXPECT_EQ(distribution.error(), GammaParameterError::ShapeInvalid);
    }
}

TEST(ChiSquaredConstruction, AcceptsInfiniteFreedom) {
    const auto distribution = ChiSquaredDistribution::create(inf);
    ASSERT_TRUE(distribution.has_value());
    EXPECT_TRUE(std::isinf(distribution->shape()));
    EXPECT_TRUE(same_bits(distribution->rate(), 0.5));
    EXPECT_TRUE(same_bits(distribution->freedom(), inf));
}

TEST(ErrorNames, PrintAsTheirOwnNames) {
    using larkspur::numerics::to_string;
    EXPECT_EQ(to_string(GammaParameterError::ShapeInvalid), "ShapeInvalid");
    EXPECT_EQ(to_string(GammaParameterError::RateInvalid), "RateInvalid");
    EXPECT_EQ(to_string(GammaParameterError::ShapeAndRateInfinite), "ShapeAndRateInfinite");
    EXPECT_EQ(to_string(IncompleteGammaError::AInvalid), "AInvalid");
    EXPECT_EQ(to_string(IncompleteGammaError::XInvalid), "XInvalid");
}

}  // namespace
