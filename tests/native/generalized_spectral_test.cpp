// The generalized spectral test's core: the twiddle table against mpmath, the
// transform against a direct DFT, the statistic against the published exact
// values and against a direct long-double oracle (within the reported bound),
// replicates against an explicitly doubly centred kernel, scale invariance,
// thread independence and the refusals.
#include <gtest/gtest.h>

#include <bit>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bit_equality.hpp"
#include "src/statistical_tests/generalized_spectral/fft.hpp"
#include "src/statistical_tests/generalized_spectral/generalized_spectral.hpp"
#include "src/statistical_tests/generalized_spectral/unit_roots.hpp"

namespace {

namespace gs = larkspur::statistical_tests::generalized_spectral;
using gs::Complex;
using gs::GstErrorKind;
using gs::GstForm;
using gs::GstMethod;
using gs::GstPrepared;
using larkspur::testing::same_bits;

constexpr long double pi_l = 3.141592653589793238462643383279502884L;

// Every table of the smooth lengths up to 64 and of 75, 120, 200, 1000, 3840
// and 20480, hashed (FNV-1a over the 64-bit patterns, re then im), against
// mpmath's correctly rounded cospi(2k/N) and -sinpi(2k/N) at 160 bits, zeros as +0.
TEST(UnitRoots, MatchCorrectlyRoundedMpmathValues) {
    std::uint64_t hash = 14695981039346656037ULL;
    std::vector<std::size_t> lengths;
    for (std::size_t n = 1; n <= 64; ++n) {
        std::size_t rest = n;
        for (const std::size_t p : {2U, 3U, 5U}) {
            while (rest % p == 0) rest /= p;
        }
        if (rest == 1) lengths.push_back(n);
    }
    lengths.insert(lengths.end(), {75, 120, 200, 1000, 3840, 20480});
    for (const std::size_t n : lengths) {
        std::vector<Complex> roots(n);
        gs::unit_roots(n, roots.data());
        for (const Complex& w : roots) {
            for (const double v : {w.re, w.im}) hash = (hash ^ std::bit_cast<std::uint64_t>(v)) * 1099511628211ULL;
        }
    }
    EXPECT_EQ(hash, 0xa3f6c46aaf9bf00dULL);
}

TEST(Fft, AgreesWithDirectDftAtEveryRadixMix) {
    std::mt19937_64 engine(11);
    std::normal_distribution<double> normal;
    for (const std::size_t n : std::vector<std::size_t>{1,  2,  3,  4,  5,  6,  8,   9,   12,  15,  16,
                                                        25, 30, 45, 64, 75, 96, 120, 200, 225, 375, 480}) {
        std::vector<Complex> x(n), scratch(n);
        for (Complex& v : x) v = {normal(engine), normal(engine)};
        const std::vector<Complex> input = x;
        gs::FftPlan(n).transform(x.data(), scratch.data());
        long double norm = 0.0L;
        for (const Complex& v : input) norm += std::hypot(static_cast<long double>(v.re), v.im);
        for (std::size_t f = 0; f < n; ++f) {
            long double re = 0.0L, im = 0.0L;
            for (std::size_t t = 0; t < n; ++t) {
                const long double angle = -2.0L * pi_l * static_cast<long double>((f * t) % n) / n;
                re += input[t].re * std::cos(angle) - input[t].im * std::sin(angle);
                im += input[t].re * std::sin(angle) + input[t].im * std::cos(angle);
            }
            ASSERT_LE(std::hypot(x[f].re - re, x[f].im - im), 4e-16L * norm) << "n = " << n << ", f = " << f;
        }
    }
}

TEST(Fft, GoodLengthsAreSmoothAndTight) {
    EXPECT_EQ(gs::FftPlan::good_length(200000), 204800U);  // 2^13 25, not 2^6 5^5
    for (std::size_t minimum = 1; minimum < 5000; minimum += 7) {
        const std::size_t n = gs::FftPlan::good_length(minimum);
        EXPECT_GE(n, minimum);
        EXPECT_LT(static_cast<double>(n), 1.25 * static_cast<double>(minimum) + 2.0) << minimum;
    }
}

std::vector<double> read_series(const std::string& name) {
    std::ifstream file(std::string(LARKSPUR_GST_DATA_DIR) + "/" + name + ".txt");
    std::vector<double> values;
    for (double v; file >> v;) values.push_back(v);
    return values;
}

// The exact sums (math.fsum over each lag's terms); vrtest's own printed
// statistics agree with the first column to 15 digits.
struct Reference {
    const char* name;
    double vrtest;
    double standardised;
};

class ReferenceValues : public ::testing::TestWithParam<Reference> {};

TEST_P(ReferenceValues, BothFormsBothPaths) {
    const Reference& r = GetParam();
    const std::vector<double> y = read_series(r.name);
    ASSERT_EQ(y.size(), 250U);
    for (const GstMethod method : {GstMethod::Exact, GstMethod::LowRank}) {
        for (const auto& [form, expected] :
             {std::pair{GstForm::Vrtest, r.vrtest}, {GstForm::Standardised, r.standardised}}) {
            const auto prepared = GstPrepared::make(y, {.form = form, .method = method});
            ASSERT_TRUE(prepared.has_value()) << prepared.error().message();
            EXPECT_NEAR(prepared->statistic().value, expected, 1e-12 * expected)
                << "form " << static_cast<int>(form) << ", method " << static_cast<int>(method);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Published, ReferenceValues,
                         ::testing::Values(Reference{"normal", 0.052715696758881436, 0.054831820161422684},
                                           Reference{"garch_t5", 0.028860222572741984, 0.03169395455955392},
                                           Reference{"ar1_0.2", 0.11581245465914954, 0.11670962462935758},
                                           Reference{"nlma", 0.060386859385354166, 0.053968622405131936}),
                         [](const auto& param_info) {
                             std::string name = param_info.param.name;
                             for (char& c : name) c = c == '.' ? '_' : c;
                             return name;
                         });

enum class Kind { Normal, T3, Cauchy, Garch, NearConstant };

std::vector<double> generate(Kind kind, std::size_t n, std::uint64_t seed) {
    std::mt19937_64 engine(seed);
    std::normal_distribution<double> normal;
    std::student_t_distribution<double> t3(3.0);
    std::cauchy_distribution<double> cauchy;
    std::vector<double> y(n);
    double variance = 1.0, previous = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
        switch (kind) {
            case Kind::Normal:
                y[t] = normal(engine);
                break;
            case Kind::T3:
                y[t] = t3(engine);
                break;
            case Kind::Cauchy:
                y[t] = cauchy(engine);
                break;
            case Kind::Garch:
                variance = 0.1 + 0.1 * previous * previous + 0.85 * variance;
                y[t] = previous = std::sqrt(variance) * normal(engine);
                break;
            case Kind::NearConstant:
                y[t] = 3.0 + (t % 37 == 5 ? 50.0 * normal(engine) : 1e-9 * normal(engine));
                break;
        }
    }
    return y;
}

// The definition summed directly in long double: per lag the full quadratic
// form of the (block-centred) values with the kernel evaluated by expl.
long double oracle_statistic(const std::vector<double>& y, GstForm form) {
    const std::size_t n = y.size();
    long double mean = 0.0L;
    for (const double v : y) mean += v;
    mean /= n;
    long double squares = 0.0L;
    for (const double v : y) squares += (v - mean) * (v - mean);
    const bool standardised = form == GstForm::Standardised;
    const long double divisor = squares / (standardised ? n : n - 1);
    const long double s = std::sqrt(divisor);
    std::vector<long double> p(n - 1), kernel((n - 1) * (n - 1));
    for (std::size_t u = 0; u + 1 < n; ++u) p[u] = standardised ? (y[u] - mean) / s : y[u];
    for (std::size_t u = 0; u + 1 < n; ++u) {
        for (std::size_t v = 0; v + 1 < n; ++v) kernel[u * (n - 1) + v] = std::exp(-(p[u] - p[v]) * (p[u] - p[v]) / 2);
    }
    long double total = 0.0L;
    std::vector<long double> a(n);
    for (std::size_t j = 1; j < n; ++j) {
        const std::size_t m = n - j;
        long double block_mean = 0.0L;
        for (std::size_t t = j; t < n; ++t) block_mean += y[t];
        block_mean = standardised ? block_mean / m : mean;
        for (std::size_t u = 0; u < m; ++u) a[u] = y[u + j] - block_mean;
        long double q = 0.0L;
        for (std::size_t u = 0; u < m; ++u) {
            long double row = 0.0L;
            for (std::size_t v = 0; v < u; ++v) row += kernel[u * (n - 1) + v] * a[v];
            q += a[u] * (a[u] + 2 * row);
        }
        const long double jpi = j * pi_l;
        total += q / (jpi * jpi * (standardised ? m : m + 1));
    }
    return total / divisor;
}

// 5 kinds x 2 forms x 8 lengths x 3 seeds = 240 series, and a longer one per
// form. Low rank: 0 <= exact - T <= bound (up to rounding, 1e-13
// relative) and within 1e-11; the exact path: within 1e-12.
TEST(Oracle, LowRankWithinItsBoundAndExactPathAgree) {
    std::size_t checked = 0;
    double worst_relative = 0.0;
    const auto check = [&](const std::vector<double>& y, GstForm form, const std::string& what) {
        const long double exact = oracle_statistic(y, form);
        const auto low = GstPrepared::make(y, {.form = form, .method = GstMethod::LowRank});
        ASSERT_TRUE(low.has_value()) << what;
        const double value = low->statistic().value;
        const double bound = low->statistic().error_bound;
        const double error = static_cast<double>(exact - value);
        const double rounding = 1e-13 * static_cast<double>(exact);
        EXPECT_GE(error, -rounding) << what;
        EXPECT_LE(error, bound + rounding) << what << ": bound " << bound;
        EXPECT_LE(std::fabs(error), 1e-11 * static_cast<double>(exact)) << what;
        worst_relative = std::max(worst_relative, std::fabs(error) / static_cast<double>(exact));
        if (y.size() <= 400) {
            const auto direct = GstPrepared::make(y, {.form = form, .method = GstMethod::Exact});
            ASSERT_TRUE(direct.has_value()) << what;
            // Near-constant series are ill-conditioned (centred values against
            // an almost constant kernel): 1e-12 covers their double sums.
            EXPECT_NEAR(direct->statistic().value, static_cast<double>(exact), 10.0 * rounding) << what;
        }
        ++checked;
    };
    // Where long double is a software binary128 (aarch64, and slower still
    // under qemu) the oracle's O(n^3) sums take shorter series, more of them.
    const bool hardware_long_double = std::numeric_limits<long double>::digits == 64;
    const std::vector<std::size_t> lengths = hardware_long_double
                                                 ? std::vector<std::size_t>{10, 17, 31, 64, 100, 150, 250, 400}
                                                 : std::vector<std::size_t>{10, 17, 31, 50, 64, 100, 120, 150};
    const std::size_t long_case = hardware_long_double ? 800 : 300;
    std::uint64_t seed = 100;
    for (const Kind kind : {Kind::Normal, Kind::T3, Kind::Cauchy, Kind::Garch, Kind::NearConstant}) {
        for (const GstForm form : {GstForm::Standardised, GstForm::Vrtest}) {
            for (const std::size_t n : lengths) {
                for (int repeat = 0; repeat < 3; ++repeat) {
                    check(generate(kind, n, ++seed), form,
                          "kind " + std::to_string(static_cast<int>(kind)) + ", n " + std::to_string(n));
                }
            }
        }
    }
    for (const GstForm form : {GstForm::Standardised, GstForm::Vrtest})
        check(generate(Kind::T3, long_case, 99), form, "t3, long");
    EXPECT_EQ(checked, 242U);
    std::printf("worst relative error against the oracle: %.2e\n", worst_relative);
}

std::vector<double> mammen(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 engine(seed);
    const double root5 = std::sqrt(5.0);
    std::bernoulli_distribution low((root5 + 1) / (2 * root5));
    std::vector<double> v(n);
    for (double& w : v) w = low(engine) ? -(root5 - 1) / 2 : (root5 + 1) / 2;
    return v;
}

// T* with the doubly centred kernel P K P formed entry by entry (the
// standardised form) or the re-centred e V (vrtest), in long double.
long double oracle_replicate(const std::vector<double>& y, const std::vector<double>& v, GstForm form) {
    const std::size_t n = y.size();
    long double mean = 0.0L;
    for (const double x : y) mean += x;
    mean /= n;
    long double squares = 0.0L;
    for (const double x : y) squares += (x - mean) * (x - mean);
    const bool standardised = form == GstForm::Standardised;
    const long double divisor = squares / (standardised ? n : n - 1);
    std::vector<long double> e(n), p(n - 1);
    long double e_mean = 0.0L;
    for (std::size_t t = 0; t < n; ++t) e_mean += e[t] = (y[t] - mean) * v[t];
    e_mean /= n;
    if (!standardised) {
        for (long double& x : e) x -= e_mean;
    }
    for (std::size_t u = 0; u + 1 < n; ++u) p[u] = standardised ? (y[u] - mean) / std::sqrt(divisor) : y[u];
    const auto k = [&](std::size_t u, std::size_t w) { return std::exp(-(p[u] - p[w]) * (p[u] - p[w]) / 2); };
    long double total = 0.0L;
    for (std::size_t j = 1; j < n; ++j) {
        const std::size_t m = n - j;
        std::vector<long double> row_mean(m, 0.0L);
        long double all_mean = 0.0L;
        for (std::size_t u = 0; u < m; ++u) {
            for (std::size_t w = 0; w < m; ++w) row_mean[u] += k(u, w) / m;
            all_mean += row_mean[u] / m;
        }
        long double q = 0.0L;
        for (std::size_t u = 0; u < m; ++u) {
            for (std::size_t w = 0; w < m; ++w) {
                const long double kernel = standardised ? k(u, w) - row_mean[u] - row_mean[w] + all_mean : k(u, w);
                q += e[u + j] * e[w + j] * kernel;
            }
        }
        const long double jpi = j * pi_l;
        total += q / (jpi * jpi * (standardised ? m : m + 1));
    }
    return total / divisor;
}

TEST(Replicate, MatchesDoublyCentredOracleOnEveryThread) {
    for (const GstForm form : {GstForm::Standardised, GstForm::Vrtest}) {
        for (const std::size_t n : std::vector<std::size_t>{2, 3, 7, 40, 90}) {
            const std::vector<double> y = generate(Kind::T3, n, 7 + n);
            for (const GstMethod method : {GstMethod::Exact, GstMethod::LowRank}) {
                const auto prepared = GstPrepared::make(y, {.form = form, .method = method});
                ASSERT_TRUE(prepared.has_value());
                auto workspace = prepared->make_workspace();
                ASSERT_TRUE(workspace.has_value());
                std::vector<double> results;
                for (std::uint64_t b = 0; b < 4; ++b) {
                    const std::vector<double> v = mammen(n, 1000 * n + b);
                    const long double expected = oracle_replicate(y, v, form);
                    const double got = prepared->replicate(v, *workspace);
                    const double tolerance = 1e-13 * static_cast<double>(std::fabs(expected)) + 1e-300;
                    EXPECT_GE(static_cast<double>(expected) - got, -tolerance) << n;
                    EXPECT_LE(static_cast<double>(expected) - got, workspace->last_error_bound() + tolerance) << n;
                    results.push_back(got);
                }
                // The same replicates on another thread with its own workspace: the same bits.
                std::vector<double> elsewhere;
                std::thread([&] {
                    auto own = prepared->make_workspace();
                    for (std::uint64_t b = 0; b < 4; ++b)
                        elsewhere.push_back(prepared->replicate(mammen(n, 1000 * n + b), *own));
                }).join();
                for (std::size_t b = 0; b < results.size(); ++b) EXPECT_TRUE(same_bits(elsewhere[b], results[b]));
            }
        }
    }
}

// x -> 2^k x changes no bit of T, of its bound or of a replicate, on either
// path; nor does the caller's rounding mode.
TEST(Standardised, PowerOfTwoScalingAndRoundingModeChangeNoBit) {
    const std::vector<double> y = generate(Kind::Garch, 300, 5);
    const std::vector<double> v = mammen(y.size(), 6);
    for (const GstMethod method : {GstMethod::Exact, GstMethod::LowRank}) {
        const auto base = GstPrepared::make(y, {.method = method});
        auto base_workspace = base->make_workspace();
        const double base_replicate = base->replicate(v, *base_workspace);
        for (const int k : {-900, -41, 1, 37, 1000}) {
            std::vector<double> scaled = y;
            for (double& x : scaled) x = std::ldexp(x, k);
            const auto prepared = GstPrepared::make(scaled, {.method = method});
            ASSERT_TRUE(prepared.has_value());
            EXPECT_TRUE(same_bits(prepared->statistic().value, base->statistic().value)) << k;
            EXPECT_TRUE(same_bits(prepared->statistic().error_bound, base->statistic().error_bound)) << k;
            auto workspace = prepared->make_workspace();
            EXPECT_TRUE(same_bits(prepared->replicate(v, *workspace), base_replicate)) << k;
        }
        for (const int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
            ASSERT_EQ(std::fesetround(mode), 0);
            const auto prepared = GstPrepared::make(y, {.method = method});
            auto workspace = prepared->make_workspace();
            const double replicate = prepared->replicate(v, *workspace);
            std::fesetround(FE_TONEAREST);
            EXPECT_TRUE(same_bits(prepared->statistic().value, base->statistic().value)) << mode;
            EXPECT_TRUE(same_bits(replicate, base_replicate)) << mode;
        }
    }
}

// A budget that stores some or none of the factor's spectra changes no bit
// of T, its bound or a replicate, and saves exactly the spectra left out.
// Ranks 20 to 78, odd (a last pair of one column) and even, both forms.
TEST(SpectraBudget, RecomputedSpectraChangeNoBit) {
    for (const auto& [kind, n] :
         {std::pair{Kind::Normal, std::size_t{200}}, {Kind::Garch, 301}, {Kind::Cauchy, 400}, {Kind::T3, 3000}}) {
        const std::vector<double> y = generate(kind, n, n);
        const std::size_t pair_bytes = gs::FftPlan::good_length(2 * n - 3) * sizeof(Complex);
        for (const GstForm form : {GstForm::Standardised, GstForm::Vrtest}) {
            const auto all = GstPrepared::make(y, {.form = form, .method = GstMethod::LowRank});
            ASSERT_TRUE(all.has_value());
            auto all_workspace = all->make_workspace();
            const std::size_t rank = all->statistic().rank;
            for (std::size_t stored = 0; stored < 3; ++stored) {
                const std::string what = std::to_string(n) + " values, " + std::to_string(stored) + " stored";
                const auto some = GstPrepared::make(
                    y, {.form = form, .method = GstMethod::LowRank, .spectra_budget = (stored + 1) * pair_bytes - 1});
                ASSERT_TRUE(some.has_value());
                EXPECT_EQ(all->memory_bytes() - some->memory_bytes(), ((rank + 1) / 2 - stored) * pair_bytes) << what;
                EXPECT_TRUE(same_bits(some->statistic().value, all->statistic().value)) << what;
                EXPECT_TRUE(same_bits(some->statistic().error_bound, all->statistic().error_bound)) << what;
                auto workspace = some->make_workspace();
                for (std::uint64_t b = 0; b < 3; ++b) {
                    const std::vector<double> v = mammen(n, 50 * n + b);
                    EXPECT_TRUE(same_bits(some->replicate(v, *workspace), all->replicate(v, *all_workspace))) << what;
                    EXPECT_TRUE(same_bits(workspace->last_error_bound(), all_workspace->last_error_bound())) << what;
                }
            }
        }
    }
}

struct Refusal {
    const char* name;
    std::vector<double> series;
    GstForm form;
    GstErrorKind kind;
};

class Refusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refusals, ComeBackAsValues) {
    const Refusal& r = GetParam();
    const auto prepared = GstPrepared::make(r.series, {.form = r.form});
    ASSERT_FALSE(prepared.has_value());
    EXPECT_EQ(prepared.error().kind, r.kind);
}

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Series, Refusals,
    ::testing::Values(
        Refusal{"empty", {}, GstForm::Standardised, GstErrorKind::TooShort},
        Refusal{"one_value", {1.0}, GstForm::Vrtest, GstErrorKind::TooShort},
        Refusal{"nan", {1.0, nan, 2.0}, GstForm::Standardised, GstErrorKind::NotFinite},
        Refusal{"infinity", {1.0, 2.0, -inf}, GstForm::Standardised, GstErrorKind::NotFinite},
        Refusal{"squares_overflow", {1e300, -1e300, 1e300}, GstForm::Vrtest, GstErrorKind::NotFinite},
        Refusal{"constant", {2.5, 2.5, 2.5, 2.5}, GstForm::Standardised, GstErrorKind::Constant},
        Refusal{"lagged_equal", {4.0, 4.0, 4.0, 4.0, 9.0}, GstForm::Standardised, GstErrorKind::LaggedValuesEqual},
        Refusal{"lagged_equal_raw", {4.0, 4.0, -1.0}, GstForm::Vrtest, GstErrorKind::LaggedValuesEqual}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Refusals, MessageNamesTheCause) {
    EXPECT_EQ(gs::GstError{GstErrorKind::LaggedValuesEqual}.message(),
              "the lagged values are all equal after standardising: the generalized spectral test is not defined");
}

// Two values: one lag with a one-term block. Standardised, the centred block
// is 0; vrtest, T = e_2^2 / (2 pi^2) / (2 e_2^2) = 1 / (4 pi^2).
TEST(ShortSeries, TwoValuesHaveClosedForms) {
    const std::vector<double> y = {0.25, 3.0};
    EXPECT_EQ(GstPrepared::make(y)->statistic().value, 0.0);
    const auto vrtest = GstPrepared::make(y, {.form = GstForm::Vrtest, .method = GstMethod::LowRank});
    EXPECT_NEAR(vrtest->statistic().value, 1.0 / (4.0 * 9.8696044010893586), 1e-16);
}

}  // namespace
