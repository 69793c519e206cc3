// cr_eval MODE: reads binary64 arguments (native byte order) from stdin and
// writes to stdout, for tools/cr_check.py: cr_exp or cr_log of each (exp,
// log), the fast path's parts hi, lo, err and for exp the scale m as a double
// (exp-parts, log-parts), or the accurate path's result for every argument,
// not only the hard ones (exp-accurate, log-accurate); for
// tools/chi2_tail_check.py, chi_squared_upper_tail of each pair (x, df), df
// stored as a double (chi2-tail).
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "numerics/accurate_exp_log.hpp"
#include "numerics/chi_squared_tail.hpp"
#include "numerics/correctly_rounded.hpp"
#include "numerics/exp_log_fast.hpp"

int main(int argc, char** argv) {
    const std::string_view mode = argc == 2 ? argv[1] : "";
    if (mode != "exp" && mode != "log" && mode != "exp-parts" && mode != "log-parts" && mode != "exp-accurate" &&
        mode != "log-accurate" && mode != "chi2-tail") {
        std::fputs(
            "usage: cr_eval exp|log|exp-parts|log-parts|exp-accurate|log-accurate|chi2-tail < arguments > results\n",
            stderr);
        return 2;
    }
    std::vector<double> input(1 << 14);
    std::vector<double> output;
    while (true) {
        const std::size_t count = std::fread(input.data(), sizeof(double), input.size(), stdin);
        if (count == 0) break;
        output.clear();
        if (mode == "chi2-tail") {
            for (std::size_t i = 0; i + 1 < count; i += 2) {
                output.push_back(
                    larkspur::numerics::chi_squared_upper_tail(input[i], static_cast<std::uint64_t>(input[i + 1])));
            }
        }
        for (std::size_t i = 0; i < count && mode != "chi2-tail"; ++i) {
            const double x = input[i];
            if (mode == "exp") {
                output.push_back(larkspur::numerics::cr_exp(x));
            } else if (mode == "log") {
                output.push_back(larkspur::numerics::cr_log(x));
            } else if (mode == "exp-parts") {
                const auto parts = larkspur::numerics::detail::exp_approximation(x);
                output.insert(output.end(), {parts.hi, parts.lo, parts.err, static_cast<double>(parts.m)});
            } else if (mode == "log-parts") {
                const auto parts = larkspur::numerics::detail::log_approximation(x);
                output.insert(output.end(), {parts.hi, parts.lo, parts.err});
            } else if (mode == "exp-accurate") {
                output.push_back(larkspur::numerics::detail::accurate_exp(x));
            } else {
                const double approximation = larkspur::numerics::detail::log_approximation(x).hi;
                output.push_back(larkspur::numerics::detail::accurate_log(x, approximation));
            }
        }
        if (std::fwrite(output.data(), sizeof(double), output.size(), stdout) != output.size()) return 1;
    }
    return std::ferror(stdin) ? 1 : 0;
}
