// cr_eval exp|log|exp-parts|log-parts: reads binary64 arguments (native byte
// order) from stdin and writes to stdout, for tools/cr_check.py, either
// cr_exp or cr_log of each, or the fast path's parts: hi, lo, err (and for
// exp the scale m as a double).
#include <cstdio>
#include <string_view>
#include <vector>

#include "numerics/correctly_rounded.hpp"
#include "numerics/exp_log_fast.hpp"

int main(int argc, char** argv) {
    const std::string_view mode = argc == 2 ? argv[1] : "";
    if (mode != "exp" && mode != "log" && mode != "exp-parts" && mode != "log-parts") {
        std::fputs("usage: cr_eval exp|log|exp-parts|log-parts < arguments > results\n", stderr);
        return 2;
    }
    std::vector<double> input(1 << 14);
    std::vector<double> output;
    while (true) {
        const std::size_t count = std::fread(input.data(), sizeof(double), input.size(), stdin);
        if (count == 0) break;
        output.clear();
        for (std::size_t i = 0; i < count; ++i) {
            const double x = input[i];
            if (mode == "exp") {
                output.push_back(larkspur::numerics::cr_exp(x));
            } else if (mode == "log") {
                output.push_back(larkspur::numerics::cr_log(x));
            } else if (mode == "exp-parts") {
                const auto parts = larkspur::numerics::detail::exp_approximation(x);
                output.insert(output.end(), {parts.hi, parts.lo, parts.err, static_cast<double>(parts.m)});
            } else {
                const auto parts = larkspur::numerics::detail::log_approximation(x);
                output.insert(output.end(), {parts.hi, parts.lo, parts.err});
            }
        }
        if (std::fwrite(output.data(), sizeof(double), output.size(), stdout) != output.size()) return 1;
    }
    return std::ferror(stdin) ? 1 : 0;
}
