// Native timing of the generalized spectral test's core, one thread: the
// statistic (factor, spectra, T) and B bootstrap replicates with Mammen's
// weights, by length; the bytes the prepared series holds and the process's
// peak resident size. `--crossover` times both paths on short series, the
// measurement behind exact_path_up_to.
//   gst_bench [N [B [normal|t3|t2 [MiB]]]]   one length (default: 1000, 10000, 100000;
//                                            B = 999), MiB for the stored spectra
//                                            (default: default_spectra_budget)
//   gst_bench --crossover
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "src/statistical_tests/generalized_spectral/generalized_spectral.hpp"

namespace {

namespace gs = larkspur::statistical_tests::generalized_spectral;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Normal values, or Student t with `freedom` degrees (heavier tails, higher rank).
std::vector<double> series(std::size_t n, double freedom, std::uint64_t seed) {
    std::mt19937_64 engine(seed);
    std::normal_distribution<double> normal;
    std::student_t_distribution<double> student(freedom > 0.0 ? freedom : 1.0);
    std::vector<double> y(n);
    for (double& v : y) v = freedom > 0.0 ? student(engine) : normal(engine);
    return y;
}

// Mammen's two-point weights, drawn into `v`.
void mammen(std::mt19937_64& engine, std::vector<double>& v) {
    const double root5 = std::sqrt(5.0);
    std::bernoulli_distribution low((root5 + 1) / (2 * root5));
    for (double& w : v) w = low(engine) ? -(root5 - 1) / 2 : (root5 + 1) / 2;
}

double peak_resident_mb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0.0;
}

struct Timing {
    double prepare;
    double per_replicate;
    std::size_t rank;
    std::size_t bytes;
    double pvalue;
};

Timing run(const std::vector<double>& y, std::size_t replicates, gs::GstMethod method,
           std::size_t spectra_budget = gs::default_spectra_budget) {
    auto start = std::chrono::steady_clock::now();
    const auto prepared = gs::GstPrepared::make(y, {.method = method, .spectra_budget = spectra_budget});
    const double prepare = seconds_since(start);
    if (!prepared) {
        std::printf("refused: %s\n", prepared.error().message().c_str());
        return {};
    }
    auto workspace = prepared->make_workspace();
    std::mt19937_64 engine(7);
    std::vector<double> v(y.size());
    std::size_t above = 0;
    start = std::chrono::steady_clock::now();
    for (std::size_t b = 0; b < replicates; ++b) {
        mammen(engine, v);
        above += prepared->replicate(v, *workspace) >= prepared->statistic().value ? 1U : 0U;
    }
    const double per_replicate = replicates > 0 ? seconds_since(start) / static_cast<double>(replicates) : 0.0;
    return {prepare, per_replicate, prepared->statistic().rank, prepared->memory_bytes(),
            static_cast<double>(1 + above) / static_cast<double>(replicates + 1)};
}

int crossover() {
    std::printf("%6s %14s %14s   (statistic + 999 replicates, ms, normal data)\n", "n", "exact", "low rank");
    for (const std::size_t n : std::vector<std::size_t>{8, 16, 24, 32, 40, 48, 64, 96, 128}) {
        const std::vector<double> y = series(n, 0.0, n);
        const Timing exact = run(y, 199, gs::GstMethod::Exact);
        const Timing low = run(y, 199, gs::GstMethod::LowRank);
        std::printf("%6zu %14.3f %14.3f\n", n, (exact.prepare + 999 * exact.per_replicate) * 1e3,
                    (low.prepare + 999 * low.per_replicate) * 1e3);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--crossover") return crossover();
    std::vector<std::size_t> lengths = {1000, 10000, 100000};
    std::size_t replicates = 999;
    double freedom = 0.0;
    std::size_t spectra_budget = gs::default_spectra_budget;
    if (argc > 1) lengths = {std::stoull(argv[1])};
    if (argc > 2) replicates = std::stoull(argv[2]);
    if (argc > 3) freedom = std::string(argv[3]) == "t3" ? 3.0 : std::string(argv[3]) == "t2" ? 2.0 : 0.0;
    if (argc > 4) spectra_budget = std::stoull(argv[4]) << 20;
    std::printf("%8s %6s %5s %12s %16s %12s %12s %8s\n", "n", "B", "rank", "statistic s", "per replicate ms", "total s",
                "prepared MB", "p");
    double first_n = 0.0, first_cost = 0.0;
    for (const std::size_t n : lengths) {
        const Timing t = run(series(n, freedom, 1), replicates, gs::GstMethod::Automatic, spectra_budget);
        std::printf("%8zu %6zu %5zu %12.3f %16.3f %12.2f %12.1f %8.3f\n", n, replicates, t.rank, t.prepare,
                    t.per_replicate * 1e3, t.prepare + static_cast<double>(replicates) * t.per_replicate,
                    static_cast<double>(t.bytes) / 1048576.0, t.pvalue);
        if (first_n == 0.0) {
            first_n = static_cast<double>(n), first_cost = t.per_replicate;
        } else {
            std::printf("         per-replicate cost grows as n^%.2f from n = %.0f\n",
                        std::log(t.per_replicate / first_cost) / std::log(static_cast<double>(n) / first_n), first_n);
        }
    }
    std::printf("peak resident size %.1f MB\n", peak_resident_mb());
    return 0;
}
