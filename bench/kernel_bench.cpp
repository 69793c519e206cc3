// Native timing of el_test and of the side-by-side path: each kernel
// variant of the table the CPU runs against the straightforward
// loop (one lag at a time, the documented order, same compiler flags), on
// the same data in the same run. Prints medians and ratios; checks bits.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "src/statistical_tests/escanciano_lobato.hpp"
#include "src/statistical_tests/el_series.hpp"
#include "src/statistical_tests/series_group.hpp"

// The plain loop, from the larkspur_reference_loop target.
#include "reference_el_test.hpp"

namespace {

using larkspur::statistical_tests::el_test;
using larkspur::statistical_tests::KernelVariant;

template <class F>
double median_seconds(F&& run, int repeats) {
    std::vector<double> times;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        run();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

using Outcome = std::expected<larkspur::statistical_tests::ElResult, larkspur::statistical_tests::ElError>;

// Not inlined: GCC 12 then warns about the result fields of the error branch.
[[gnu::noinline]] bool identical(const Outcome& a, const Outcome& b) {
    if (!a.has_value() || !b.has_value()) return false;
    const larkspur::statistical_tests::ElResult& x = *a;
    const larkspur::statistical_tests::ElResult& y = *b;
    return x.p_tilde == y.p_tilde &&
           std::bit_cast<std::uint64_t>(x.statistic) == std::bit_cast<std::uint64_t>(y.statistic) &&
           std::bit_cast<std::uint64_t>(x.pvalue) == std::bit_cast<std::uint64_t>(y.pvalue);
}

}  // namespace

// Seconds per series of group_fast_lanes on groups of group_width series of
// n, `count` series in all (a multiple of the width is best); every lane
// must be taken.
template <class Sink>
double side_by_side_seconds(const KernelVariant& kernel, const std::vector<double>& panel, std::uint64_t n,
                            std::uint64_t d, std::uint64_t count, int repeats, Sink&& sink) {
    using larkspur::statistical_tests::group_width;
    using larkspur::statistical_tests::GroupSeries;
    return median_seconds(
               [&] {
                   for (std::uint64_t i = 0; i < count; i += group_width) {
                       GroupSeries group[group_width];
                       const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(group_width, count - i));
                       for (std::size_t s = 0; s < size; ++s) {
                           group[s] = {reinterpret_cast<const unsigned char*>(panel.data() + (i + s) * n),
                                       sizeof(double)};
                       }
                       larkspur::statistical_tests::ElResult results[group_width];
                       const unsigned taken = larkspur::statistical_tests::group_fast_lanes(std::span(group, size), n,
                                                                                            2.4, d, results, kernel);
                       sink(taken == (1U << size) - 1 ? results[0].pvalue : -1.0);
                   }
               },
               repeats) /
           static_cast<double>(count);
}

// `--series N D COUNT`: the median seconds per series of one el_test call
// (the default kernel) and of the side-by-side path, over COUNT different
// series of N; the native limits that bench/batch.py compares its batches
// with.
[[gnu::noinline]] int per_series(std::uint64_t n, std::uint64_t d, std::uint64_t count) {
    std::mt19937_64 engine(2);
    std::normal_distribution<double> normal;
    std::vector<double> panel(n * count);
    for (double& value : panel) value = normal(engine);
    double sink = 0.0;
    const double seconds = median_seconds(
        [&] {
            for (std::uint64_t i = 0; i < count; ++i) sink += el_test(panel.data() + i * n, n, 2.4, d)->pvalue;
        },
        7);
    const double grouped = side_by_side_seconds(larkspur::statistical_tests::active_kernel(), panel, n, d, count, 7,
                                                [&](double pvalue) { sink += pvalue; });
    std::printf("%.6e %.6e\n", seconds / static_cast<double>(count), grouped);
    return sink == 0.5 ? 1 : 0;  // keeps the calls; a p-value sum of exactly 0.5 does not happen
}

// The class's whole path on one long series (test_series: checks, mean,
// lag sums, selection) against the two-pass limit, timed in the same run on
// the same data: a plain sequential mean loop, then the lag sums of lags
// 1..d with the default kernel. Every check the class makes must ride along
// in those two passes; the target is at most 1.05x.
[[gnu::noinline]] double plain_mean(const std::vector<double>& x) {
    double sum = -0.0;
    for (const double value : x) sum = sum + value;
    return sum / static_cast<double>(x.size());
}

[[gnu::noinline]] double all_lag_sums(const std::vector<double>& x, double mean, std::uint64_t d) {
    namespace st = larkspur::statistical_tests;
    const st::KernelVariant& kernel = st::active_kernel();
    const std::size_t block = kernel.block_lags;
    std::vector<st::LagSums> sums(block);
    double sink = 0.0;
    for (std::uint64_t first = 1; first <= d; first += block) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(block, d - first + 1));
        kernel.lag_sums(reinterpret_cast<const unsigned char*>(x.data()), x.size(), mean, first, count, sums.data());
        sink += sums[0].t;
    }
    return sink;
}

int series_path(std::uint64_t n, std::uint64_t d, int repeats) {
    std::mt19937_64 engine(3);
    std::normal_distribution<double> normal;
    std::vector<double> x(n);
    for (double& v : x) v = normal(engine);
    double sink = 0.0;
    std::vector<double> path, mean_pass, lag_pass;
    for (int r = 0; r < repeats; ++r) {  // interleaved, so drifts in load hit all three alike
        auto start = std::chrono::steady_clock::now();
        sink += larkspur::statistical_tests::test_series(x.data(), n, 2.4, d)->pvalue;
        auto stop = std::chrono::steady_clock::now();
        path.push_back(std::chrono::duration<double>(stop - start).count());
        start = stop;
        const double mean = plain_mean(x);
        stop = std::chrono::steady_clock::now();
        mean_pass.push_back(std::chrono::duration<double>(stop - start).count());
        start = stop;
        sink += all_lag_sums(x, mean, d);
        stop = std::chrono::steady_clock::now();
        lag_pass.push_back(std::chrono::duration<double>(stop - start).count());
    }
    for (auto* times : {&path, &mean_pass, &lag_pass}) std::sort(times->begin(), times->end());
    const auto median = [](const std::vector<double>& t) { return t[t.size() / 2]; };
    const double limit = median(mean_pass) + median(lag_pass);
    std::printf(
        "\nclass path, n = %llu, d = %llu, %s kernel: %.2f ms; two-pass limit %.2f ms (mean %.2f + lag sums "
        "%.2f); ratio %.3fx (target <= 1.05)\n",
        static_cast<unsigned long long>(n), static_cast<unsigned long long>(d),
        std::string(larkspur::statistical_tests::active_kernel().name).c_str(), median(path) * 1e3, limit * 1e3,
        median(mean_pass) * 1e3, median(lag_pass) * 1e3, median(path) / limit);
    return sink == 0.5 ? 1 : 0;  // keeps the calls
}

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--series") {
        return per_series(std::stoull(argv[2]), std::stoull(argv[3]), std::stoull(argv[4]));
    }
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    struct Case {
        std::uint64_t n;
        std::uint64_t d;
        int repeats;
    };
    const std::vector<Case> cases =
        quick
            ? std::vector<Case>{{250, 3, 3}, {2000, 25, 3}}
            : std::vector<Case>{{250, 3, 2001}, {1000, 3, 1001}, {100000, 10, 21}, {1000000, 15, 7}, {10000000, 25, 5}};
    std::mt19937_64 engine(1);
    std::normal_distribution<double> normal;
    std::printf("%-10s %4s %-10s %14s %10s %s\n", "n", "d", "kernel", "median", "speed-up", "bits");
    int mismatches = 0;
    for (const Case& c : cases) {
        std::vector<double> x(c.n);
        for (double& v : x) v = normal(engine);
        auto reference = larkspur::testing::reference_el_test_as_given(x.data(), c.n, 2.4, c.d);
        const double baseline = median_seconds(
            [&] { reference = larkspur::testing::reference_el_test_as_given(x.data(), c.n, 2.4, c.d); }, c.repeats);
        std::printf("%-10llu %4llu %-10s %12.3f us %10s %s\n", static_cast<unsigned long long>(c.n),
                    static_cast<unsigned long long>(c.d), "reference", baseline * 1e6, "1.00x", "-");
        for (const KernelVariant& variant : larkspur::statistical_tests::kernel_variants()) {
            if (!variant.cpu_supports()) continue;
            auto result = el_test(x.data(), c.n, 2.4, c.d, variant);
            const double seconds =
                median_seconds([&] { result = el_test(x.data(), c.n, 2.4, c.d, variant); }, c.repeats);
            const bool same = identical(result, reference);
            mismatches += same ? 0 : 1;
            std::printf("%-10s %4s %-10s %12.3f us %9.2fx %s\n", "", "", std::string(variant.name).c_str(),
                        seconds * 1e6, baseline / seconds, same ? "identical" : "DIFFER");
        }
        // Series of this length side by side (several different series, so
        // the time per series compares with the rows above).
        if (c.d < c.n && c.d <= larkspur::statistical_tests::group_max_lag && c.n <= 100000) {
            const std::uint64_t count = larkspur::statistical_tests::group_width;
            std::vector<double> panel(c.n * count);
            std::copy(x.begin(), x.end(), panel.begin());
            for (std::size_t i = c.n; i < panel.size(); ++i) panel[i] = normal(engine);
            for (const KernelVariant& variant : larkspur::statistical_tests::kernel_variants()) {
                if (!variant.cpu_supports()) continue;
                bool same = true;
                const double seconds =
                    side_by_side_seconds(variant, panel, c.n, c.d, count, c.repeats, [&](double pvalue) {
                        same = same && reference &&
                               std::bit_cast<std::uint64_t>(pvalue) == std::bit_cast<std::uint64_t>(reference->pvalue);
                    });
                mismatches += same ? 0 : 1;
                std::printf("%-10s %4s %-10s %12.3f us %9.2fx %s\n", "", "",
                            ("8x " + std::string(variant.name)).c_str(), seconds * 1e6, baseline / seconds,
                            same ? "identical p" : "DIFFER");
            }
        }
    }
    const int path_status = quick ? series_path(100000, 25, 3) : series_path(10000000, 25, 11);
    return mismatches == 0 && path_status == 0 ? 0 : 1;
}
