// el_test's working buffer (escanciano_lobato.hpp). Alone in this file so
// that a test program can define allocate_lag_buffer itself: the linker then
// never takes this object from the library, and the product calls the real
// function directly, with no seam to pay for.
#include <cstdint>
#include <limits>
#include <memory>
#include <new>

#include "src/statistical_tests/escanciano_lobato.hpp"

namespace larkspur::statistical_tests {
namespace {

// Largest byte count a single allocation may ask for.
constexpr std::uint64_t max_buffer_bytes = (std::uint64_t{1} << 63) - 8;

}  // namespace

std::unique_ptr<double[]> allocate_lag_buffer(std::uint64_t count) noexcept {
    if (count > max_buffer_bytes / sizeof(double) || count > std::numeric_limits<std::size_t>::max() / sizeof(double)) {
        return nullptr;
    }
    return std::unique_ptr<double[]>(new (std::nothrow) double[static_cast<std::size_t>(count)]());
}

}  // namespace larkspur::statistical_tests
