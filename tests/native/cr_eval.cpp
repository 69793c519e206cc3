// cr_eval exp|log: reads binary64 arguments (native byte order) from stdin
// and writes cr_exp or cr_log of each to stdout, for tools/cr_check.py.
#include <cstdio>
#include <cstring>
#include <vector>

#include "numerics/correctly_rounded.hpp"

int main(int argc, char** argv) {
    if (argc != 2 || (std::strcmp(argv[1], "exp") != 0 && std::strcmp(argv[1], "log") != 0)) {
        std::fputs("usage: cr_eval exp|log < arguments > results\n", stderr);
        return 2;
    }
    const bool exp = std::strcmp(argv[1], "exp") == 0;
    std::vector<double> buffer(1 << 16);
    while (true) {
        const std::size_t count = std::fread(buffer.data(), sizeof(double), buffer.size(), stdin);
        if (count == 0) break;
        for (std::size_t i = 0; i < count; ++i) {
            buffer[i] = exp ? larkspur::numerics::cr_exp(buffer[i]) : larkspur::numerics::cr_log(buffer[i]);
        }
        if (std::fwrite(buffer.data(), sizeof(double), count, stdout) != count) return 1;
    }
    return std::ferror(stdin) ? 1 : 0;
}
