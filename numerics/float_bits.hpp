// Helpers to pin binary64 constants to their exact bit patterns.
//
// Every numeric constant is written once as a decimal literal and checked at
// compile time against its IEEE-754 bit pattern, so a typo in a digit (or a
// compiler that parses literals differently) fails the build instead of
// silently moving the last bits of a p-value.
#pragma once

#include <bit>
#include <cstdint>

namespace larkspur::numerics {

[[nodiscard]] constexpr std::uint64_t bits_of(double value) noexcept { return std::bit_cast<std::uint64_t>(value); }

}  // namespace larkspur::numerics
