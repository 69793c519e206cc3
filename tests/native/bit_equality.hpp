// Bit-pattern comparison for doubles in GoogleTest: approximate equality is
// never good enough for this project, and a hex dump shows which bits moved.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <string>

namespace larkspur::testing {

inline std::string describe_bits(double value) {
    char text[96];
    std::snprintf(text, sizeof text, "%.17g (0x%016llx)", value,
                  static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(value)));
    return text;
}

inline ::testing::AssertionResult same_bits(double actual, double expected) {
    if (std::bit_cast<std::uint64_t>(actual) == std::bit_cast<std::uint64_t>(expected)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "got " << describe_bits(actual) << ", expected " << describe_bits(expected);
}

}  // namespace larkspur::testing
