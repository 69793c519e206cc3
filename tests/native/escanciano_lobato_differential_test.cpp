// el_test against the plain reference loop on thousands of random series:
// every field and every error must agree to the bit. Series tested side by
// side in groups must agree with test_series on each alone.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bit_equality.hpp"
#include "src/statistical_tests/escanciano_lobato.hpp"
#include "src/statistical_tests/derived_lag.hpp"
#include "src/statistical_tests/el_series.hpp"
#include "src/statistical_tests/series_group.hpp"
#include "reference_el_test.hpp"

namespace {

using larkspur::statistical_tests::el_test;
using larkspur::testing::reference_el_test;
using larkspur::testing::same_bits;

struct RandomCase {
    std::vector<double> series;
    double q;
    std::uint64_t d;
};

class CaseGenerator {
public:
    explicit CaseGenerator(std::uint64_t seed) : engine_(seed) {}

    RandomCase next() {
        const std::uint64_t n = length();
        std::vector<double> x(n);
        const double scale = std::pow(10.0, uniform(-300.0, 300.0) * (pick(4) == 0 ? 1.0 : 0.02));
        const int shape = pick(6);
        for (std::uint64_t i = 0; i < n; ++i) {
            switch (shape) {
                case 0:
                    x[i] = normal() * scale;
                    break;
                case 1:
                    x[i] = uniform(-1.0, 1.0) * scale;
                    break;
                case 2:
                    x[i] = static_cast<double>(pick(5)) - 2.0;
                    break;  // ties and exact zeros
                case 3:
                    x[i] = (i > 0 ? x[i - 1] * 0.8 : 0.0) + normal() * scale;
                    break;  // AR(1)
                case 4:
                    x[i] = normal() * scale * (pick(20) == 0 ? 1e6 : 1.0);
                    break;  // outliers
                default:
                    x[i] = 1.0 + normal() * 1e-15;
                    break;  // nearly constant
            }
        }
        if (n > 0 && pick(40) == 0)
            x[pick_index(n)] = (pick(2) == 0 ? 1.0 : -1.0) * std::numeric_limits<double>::infinity();
        if (n > 0 && pick(40) == 0) x[pick_index(n)] = std::numeric_limits<double>::denorm_min();
        return RandomCase{std::move(x), penalty_constant(), lag(n)};
    }

private:
    std::uint64_t length() {
        switch (pick(10)) {
            case 0:
                return 1 + pick_index(4);
            case 1:
                return 1000 + pick_index(4000);
            default:
                return 2 + pick_index(300);
        }
    }
    double penalty_constant() {
        switch (pick(8)) {
            case 0:
                return std::numeric_limits<double>::infinity();
            case 1:
                return 1e-12;
            case 2:
                return 2.4;
            default:
                return uniform(0.01, 10.0);
        }
    }
    std::uint64_t lag(std::uint64_t n) {
        switch (pick(10)) {
            case 0:
                return n;
            case 1:
                return n + 1 + pick_index(3);
            case 2:
                return 1;
            default:
                return 1 + pick_index(std::min<std::uint64_t>(n, 40));
        }
    }
    int pick(int count) { return std::uniform_int_distribution<int>(0, count - 1)(engine_); }
    std::uint64_t pick_index(std::uint64_t count) {
        return std::uniform_int_distribution<std::uint64_t>(0, count - 1)(engine_);
    }
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(engine_); }
    double normal() { return std::normal_distribution<double>(0.0, 1.0)(engine_); }

    std::mt19937_64 engine_;
};

using larkspur::statistical_tests::ElErrorKind;
using larkspur::statistical_tests::KernelVariant;

// Every variant of the kernel table; those this CPU lacks are skipped.
class ElDifferential : public ::testing::TestWithParam<const KernelVariant*> {};

// Variants every machine of this architecture runs (GCC and Clang builds):
// their absence from the table, or from the CPU, is a fault, not a reason
// to skip.
constexpr std::string_view every_machine_has[] = {
    "scalar",
    "generic",
#if defined(__GNUC__) && defined(__x86_64__)
    "sse2",
#elif defined(__GNUC__) && defined(__aarch64__)
    "neon",
#endif
};

TEST(KernelTable, HasTheVariantsEveryMachineRuns) {
    for (const std::string_view name : every_machine_has) {
        const KernelVariant* variant = larkspur::statistical_tests::find_kernel_variant(name);
        ASSERT_NE(variant, nullptr) << "every machine of this architecture runs " << name << ", but the table lacks it";
        EXPECT_TRUE(variant->cpu_supports())
            << "every machine of this architecture runs " << name << ", but this build reports it missing";
    }
}

// The environment's choice: forced, masked, and every error in full.
TEST(KernelTable, EnvironmentChoosesOrRefusesClearly) {
    using larkspur::statistical_tests::select_kernel;
    const auto variants = larkspur::statistical_tests::kernel_variants();
    // Names joined with appends only (GCC 12 warns falsely on "literal" + string).
    const auto join = [&](const char* separator, bool supported_only) {
        std::string text;
        for (const KernelVariant& variant : variants) {
            if (supported_only && !variant.cpu_supports()) continue;
            text.append(text.empty() ? "" : separator).append(variant.name);
        }
        return text;
    };
    const std::string every = join(",", false);
    const std::string has = join(", ", false);
    const std::string supports = join(", ", true);
    const auto plain = select_kernel("", "");
    EXPECT_TRUE(plain.error.empty());
    for (const KernelVariant& variant : variants) {
        const auto forced = select_kernel(std::string(" ").append(variant.name).append(" "), "");
        if (variant.cpu_supports()) {
            EXPECT_LE(&variant, plain.running) << "the default is the widest the CPU supports";
            EXPECT_EQ(forced.running, &variant);
            EXPECT_EQ(forced.error, "");
        } else {
            EXPECT_EQ(forced.error, std::string("LARKSPUR_KERNEL='").append(variant.name) +
                                        "' is not supported by this CPU; it supports: " + supports);
        }
    }
    const auto masked = select_kernel("", std::string(plain.running->name).append(", ,"));
    EXPECT_EQ(masked.error, "");
    EXPECT_LT(masked.running, plain.running);

    const struct {
        const char* forced;
        std::string disabled;
        std::string error;
    } refused[] = {
        {"fast", "", "LARKSPUR_KERNEL='fast' is not a kernel variant of this build; it has: " + has},
        {"", "generic,fast",
         "LARKSPUR_DISABLE_KERNELS='generic,fast': 'fast' is not a kernel variant of this build; it has: " + has},
        {"generic", "generic", "LARKSPUR_KERNEL='generic' is also disabled by LARKSPUR_DISABLE_KERNELS='generic'"},
        {"", every,
         "LARKSPUR_DISABLE_KERNELS='" + every + "' disables every kernel variant this CPU supports: " + supports},
    };
    for (const auto& c : refused) EXPECT_EQ(select_kernel(c.forced, c.disabled).error, c.error);
}

TEST_P(ElDifferential, MatchesReferenceLoopToTheBit) {
    const KernelVariant& variant = *GetParam();
    if (!variant.cpu_supports()) GTEST_SKIP() << "this CPU lacks " << variant.name;
    CaseGenerator generator(20261207);
    std::vector<unsigned char> storage;
    int results = 0;
    int errors = 0;
    for (int iteration = 0; iteration < 4000; ++iteration) {
        const RandomCase c = generator.next();
        // Shift the series off 8-byte alignment on most iterations.
        const std::size_t offset = static_cast<std::size_t>(iteration % 8);
        storage.assign(c.series.size() * sizeof(double) + offset, 0);
        if (!c.series.empty()) std::memcpy(storage.data() + offset, c.series.data(), c.series.size() * sizeof(double));
        const void* data = storage.data() + offset;
        const std::uint64_t n = c.series.size();

        const auto expected = reference_el_test(data, n, c.q, c.d);
        const auto actual = el_test(data, n, c.q, c.d, variant);
        SCOPED_TRACE(::testing::Message()
                     << "iteration " << iteration << ", n " << n << ", q " << c.q << ", d " << c.d);
        ASSERT_EQ(actual.has_value(), expected.has_value());
        if (expected) {
            ++results;
            EXPECT_EQ(actual->p_tilde, expected->p_tilde);
            EXPECT_TRUE(same_bits(actual->statistic, expected->statistic));
            EXPECT_TRUE(same_bits(actual->pvalue, expected->pvalue));
        } else {
            ++errors;
            EXPECT_EQ(actual.error().kind, expected.error().kind);
            EXPECT_EQ(actual.error().value, expected.error().value);
        }
        if (::testing::Test::HasFailure()) break;
    }
    // The generator must exercise both outcomes substantially.
    EXPECT_GT(results, 2500);
    EXPECT_GT(errors, 200);
}

// Inputs pinned on exact boundaries that random series never reach, each
// checked against the reference loop and against its known outcome.
struct PinnedCase {
    const char* name;
    std::vector<double> series;
    double q;
    std::uint64_t d;
    std::uint64_t p_tilde_or_lag;  // p~ of a result, or the lag of the error
    std::optional<ElErrorKind> error = std::nullopt;
};

std::vector<double> scaled(std::vector<double> x, int exponent) {
    for (double& v : x) v = std::ldexp(v, exponent);
    return x;
}

const std::vector<PinnedCase>& pinned_cases() {
    static const std::vector<PinnedCase> cases{
        // sqrt(q ln n) == sqrt(n) max|rho_j| to the bit: the tie keeps the
        // p ln n penalty (p~ 1); the 2p penalty would pick 3.
        {"penalty_switch_tie",
         {0, 0, 1, -2, -1, -2, 2, -2, 3,  0,  -1, -3, 0, 3, 1, 2, -3, -2, 2, 2,  3, -1, -3, 2, -1,
          2, 2, 1, 0,  1,  3,  2, -2, -1, -1, 1,  0,  3, 1, 0, 1, 3,  -3, 0, -2, 2, 3,  0,  0, 2},
         1.60642433184324,
         4,
         1},
        // T_1 = 5e-324 > 0, but tau-hat = T_1 / 9 rounds to zero: not a
        // constant series, so too small rather than a zero tau-hat.
        {"tau_underflows_in_the_quotient", scaled({0, 2, 3, 1, 2, 1, -3, 1, 3, 1}, -269), 2.4, 1, 0,
         ElErrorKind::TooSmall},
        // The small side: example B's few-bit products stay exact down to
        // 2^-268 (s^4 = 2^-1072); example A keeps its bits down to 2^-256.
        {"smallest_exact_scale", scaled({1, -1, 1, -1, 1, -1, 1, -1}, -268), 2.4, 2, 2},
        {"fourth_powers_underflow", scaled({1, -1, 1, -1, 1, -1, 1, -1}, -269), 2.4, 2, 0, ElErrorKind::TooSmall},
        {"tau_loses_bits", scaled({1, 2, 3, 4, 5, 6}, -257), 2.4, 2, 0, ElErrorKind::TooSmall},
        // Products exactly zero at every scale keep their zero tau-hat, and
        // so does a constant series whose rounded sum is not n times the value.
        {"zero_tau_of_tiny_data", scaled({1, 0, -1, 0, 1, 0, -1, 0}, -300), 2.4, 2, 1, ElErrorKind::ZeroTau},
        {"constant_with_inexact_sum", {0.1, 0.1, 0.1}, 2.4, 1, 1, ElErrorKind::ZeroTau},
        {"tiny_constant", scaled({0.1, 0.1, 0.1, 0.1}, -1000), 2.4, 1, 1, ElErrorKind::ZeroTau},
        // Overflow begins between 2^255 and 2^256 for example B: below it the
        // result is example B's to the bit, above it T_1 is infinite.
        {"largest_finite_scale", scaled({1, -1, 1, -1, 1, -1, 1, -1}, 255), 2.4, 2, 2},
        {"fourth_powers_overflow", scaled({1, -1, 1, -1, 1, -1, 1, -1}, 256), 2.4, 2, 1, ElErrorKind::NotFinite},
        // Two spikes two apart: lag 1 is finite, lag 2 overflows.
        {"overflow_at_lag_two",
         {0, 0, 0, 0x1.4cccccccccccdp+256, 0, 0x1.4cccccccccccdp+256, 0, 0, 0, 0},
         2.4,
         3,
         2,
         ElErrorKind::NotFinite},
        // A zero tau-hat at lag 1 wins over the overflow at lag 2.
        {"zero_tau_before_overflow", scaled({1, 0, -1, 0, 1, 0, -1, 0}, 256), 2.4, 2, 1, ElErrorKind::ZeroTau},
        {"infinite_value", {1, 2, -std::numeric_limits<double>::infinity(), 3, 5}, 2.4, 2, 1, ElErrorKind::NotFinite},
    };
    return cases;
}

TEST_P(ElDifferential, PinnedBoundaries) {
    const KernelVariant& variant = *GetParam();
    if (!variant.cpu_supports()) GTEST_SKIP() << "this CPU lacks " << variant.name;
    for (const PinnedCase& c : pinned_cases()) {
        SCOPED_TRACE(c.name);
        const std::uint64_t n = c.series.size();
        const auto expected = reference_el_test(c.series.data(), n, c.q, c.d);
        const auto actual = el_test(c.series.data(), n, c.q, c.d, variant);
        ASSERT_EQ(expected.has_value(), !c.error);
        ASSERT_EQ(actual.has_value(), !c.error);
        if (c.error) {
            EXPECT_EQ(expected.error().kind, *c.error);
            EXPECT_EQ(expected.error().value, c.p_tilde_or_lag);
            EXPECT_EQ(actual.error().kind, expected.error().kind);
            EXPECT_EQ(actual.error().value, expected.error().value);
        } else {
            EXPECT_EQ(expected->p_tilde, c.p_tilde_or_lag);
            EXPECT_EQ(actual->p_tilde, expected->p_tilde);
            EXPECT_TRUE(same_bits(actual->statistic, expected->statistic));
            EXPECT_TRUE(same_bits(actual->pvalue, expected->pvalue));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllKernels, ElDifferential, ::testing::ValuesIn([] {
                             std::vector<const KernelVariant*> table;
                             for (const KernelVariant& variant : larkspur::statistical_tests::kernel_variants())
                                 table.push_back(&variant);
                             return table;
                         }()),
                         [](const ::testing::TestParamInfo<const KernelVariant*>& param) {
                             return std::string(param.param->name);
                         });

// Shapes that stress the blocking: lags past one block, tails of every
// length, d close to n, series shorter than a lane block, unaligned data.
TEST_P(ElDifferential, BlockEdges) {
    const KernelVariant& variant = *GetParam();
    if (!variant.cpu_supports()) GTEST_SKIP() << "this CPU lacks " << variant.name;
    std::mt19937_64 engine(99);
    std::normal_distribution<double> normal;
    std::vector<unsigned char> storage;
    for (const std::uint64_t n : std::initializer_list<std::uint64_t>{
             2ULL, 3ULL, 7ULL, 8ULL, 9ULL, 31ULL, 33ULL, 64ULL, 65ULL, 511ULL, 512ULL, 513ULL, 1025ULL, 2100ULL}) {
        std::vector<double> x(n);
        for (double& v : x) v = normal(engine);
        for (const std::uint64_t d : std::initializer_list<std::uint64_t>{
                 1ULL, 6ULL, 7ULL, 8ULL, 9ULL, 16ULL, 17ULL, 31ULL, 32ULL, 33ULL, 65ULL, 100ULL, n - 1, n}) {
            if (d == 0 || d > n) continue;
            for (const std::size_t offset : {std::size_t{0}, std::size_t{3}}) {
                storage.assign(n * sizeof(double) + offset, 0);
                std::memcpy(storage.data() + offset, x.data(), n * sizeof(double));
                const auto expected = reference_el_test(storage.data() + offset, n, 2.4, d);
                const auto actual = el_test(storage.data() + offset, n, 2.4, d, variant);
                ASSERT_EQ(actual.has_value(), expected.has_value()) << n << " " << d;
                if (!expected) continue;
                EXPECT_EQ(actual->p_tilde, expected->p_tilde) << n << " " << d;
                EXPECT_TRUE(same_bits(actual->statistic, expected->statistic)) << n << " " << d;
                EXPECT_TRUE(same_bits(actual->pvalue, expected->pvalue)) << n << " " << d;
            }
        }
    }
}

// Groups of one length: shapes the side-by-side path must take and shapes
// it must leave to test_series, read through the layouts el_many hands over.
using namespace larkspur::statistical_tests;

enum class Shape { Normal, Garch, Ties, Constant, Nan, Infinity, Tiny, ZeroTau, Huge };
constexpr Shape shapes[] = {Shape::Normal,   Shape::Garch, Shape::Ties,    Shape::Constant, Shape::Nan,
                            Shape::Infinity, Shape::Tiny,  Shape::ZeroTau, Shape::Huge};

// Shapes every lane of which the side-by-side path must take.
bool always_taken(Shape shape) { return shape == Shape::Normal || shape == Shape::Garch; }

std::vector<double> make_series(Shape shape, std::uint64_t n, std::mt19937_64& engine) {
    std::normal_distribution<double> normal;
    std::vector<double> x(n);
    double variance = 1.0;
    for (std::uint64_t i = 0; i < n; ++i) {
        const double z = normal(engine);
        switch (shape) {
            case Shape::Garch:
                x[i] = std::sqrt(variance) * z * 1e3;
                variance = 0.1 + 0.1 * z * z * variance + 0.8 * variance;
                break;
            case Shape::Ties:
                x[i] = static_cast<double>(engine() % 5) - 2.0;
                break;
            case Shape::Constant:
                x[i] = 0.1;
                break;
            case Shape::Tiny:
                x[i] = z * 0x1p-262;
                break;  // underflow may change the outcome
            case Shape::ZeroTau:
                x[i] = i % 2 == 0 ? z : 0.0;
                break;  // every product at odd lags is zero
            case Shape::Huge:
                x[i] = z * 1e200;
                break;  // fourth powers overflow
            default:
                x[i] = z;
                break;
        }
    }
    if (shape == Shape::Nan) x[engine() % n] = std::numeric_limits<double>::quiet_NaN();
    if (shape == Shape::Infinity) x[engine() % n] = -std::numeric_limits<double>::infinity();
    return x;
}

// The layouts el_many hands over: adjacent, reversed, every third element
// of a wider buffer, and adjacent but one byte off 8-byte alignment.
enum class Layout { Adjacent, Reversed, Strided, Unaligned };

struct Placed {
    std::vector<unsigned char> storage;
    GroupSeries view;
};

Placed place(const std::vector<double>& x, Layout layout) {
    const std::size_t n = x.size();
    const std::size_t step = layout == Layout::Strided ? 3 : 1;
    const std::size_t offset = layout == Layout::Unaligned ? 1 : 0;
    Placed placed{std::vector<unsigned char>(n * step * sizeof(double) + offset), {}};
    unsigned char* base = placed.storage.data() + offset;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t slot = layout == Layout::Reversed ? n - 1 - k : k;
        std::memcpy(base + slot * step * sizeof(double), &x[k], sizeof(double));
    }
    const auto stride = static_cast<std::ptrdiff_t>(step * sizeof(double));
    placed.view =
        layout == Layout::Reversed ? GroupSeries{base + (n - 1) * sizeof(double), -stride} : GroupSeries{base, stride};
    return placed;
}

TEST_P(ElDifferential, SideBySideLanesHaveTheBitsOfOneSeriesAlone) {
    const KernelVariant& variant = *GetParam();
    if (!variant.cpu_supports()) GTEST_SKIP() << "this CPU lacks " << variant.name;
    std::mt19937_64 engine(2026);
    std::uint64_t taken_total = 0;
    for (int trial = 0; trial < 600; ++trial) {
        // Mostly short, some across several chunks of leads.
        const std::uint64_t n = trial % 10 == 0 ? 200 + engine() % 900 : 2 + engine() % 300;
        const std::uint64_t d = trial % 3 == 0 ? derived_lag(n) : 1 + engine() % std::min<std::uint64_t>(n + 1, 40);
        const double q = trial % 4 == 0 ? 2.4 : 0.5 + static_cast<double>(engine() % 100) / 10.0;
        const std::size_t count = 1 + engine() % group_width;
        const auto layout = static_cast<Layout>(engine() % 4);
        std::vector<std::vector<double>> data;
        std::vector<Shape> lane_shapes;
        std::vector<Placed> placed;
        std::vector<GroupSeries> views;
        for (std::size_t s = 0; s < count; ++s) {
            const Shape shape = engine() % 3 == 0 ? shapes[engine() % std::size(shapes)] : Shape::Normal;
            lane_shapes.push_back(shape);
            data.push_back(make_series(shape, n, engine));
            placed.push_back(place(data.back(), layout));
            views.push_back(placed.back().view);
        }
        ElResult results[group_width];
        const unsigned taken = group_fast_lanes(views, n, q, d, results, variant);
        const bool eligible = d < n && d <= group_max_lag;
        for (std::size_t s = 0; s < count; ++s) {
            SCOPED_TRACE(::testing::Message() << "trial " << trial << " lane " << s << " n " << n << " d " << d);
            const bool lane_taken = (taken >> s & 1U) != 0;
            if (eligible && always_taken(lane_shapes[s])) {
                EXPECT_TRUE(lane_taken);
            }
            if (!lane_taken) continue;
            ++taken_total;
            const auto alone = test_series(data[s].data(), n, q, d);
            ASSERT_TRUE(alone.has_value()) << "a lane was taken that test_series refuses";
            EXPECT_EQ(alone->p_tilde, results[s].p_tilde);
            EXPECT_TRUE(same_bits(results[s].statistic, alone->statistic));
            EXPECT_TRUE(same_bits(results[s].pvalue, alone->pvalue));
        }
        EXPECT_EQ(taken >> count, 0U) << "a lane past the group was reported";
    }
    EXPECT_GT(taken_total, 1000U);
}

}  // namespace
