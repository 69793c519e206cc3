// el_test when its working buffer cannot be had. This program defines
// allocate_lag_buffer itself, in place of the library's (lag_buffer.cpp):
// every buffer fails, and the sizes asked for are recorded. Its own
// executable, so that no other test sees this allocator.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "src/statistical_tests/escanciano_lobato.hpp"

namespace {
std::vector<std::uint64_t> requested;
}  // namespace

std::unique_ptr<double[]> larkspur::statistical_tests::allocate_lag_buffer(std::uint64_t count) noexcept {
    requested.push_back(count);
    return nullptr;
}

namespace {

using larkspur::statistical_tests::ElErrorKind;

TEST(ElBuffer, AllocationFailureIsAnOrdinaryError) {
    const std::vector<double> x{1, 2, 3, 4, 5, 6};
    requested.clear();
    const auto result = larkspur::statistical_tests::el_test(x.data(), x.size(), 2.4, 2);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, ElErrorKind::BufferUnavailable);
    EXPECT_EQ(result.error().value, 3U);  // min(d, n) + 1 entries were asked for
    EXPECT_EQ(requested, std::vector<std::uint64_t>{3});
}

}  // namespace
