// group_fast_lanes: the test on up to group_width series of one length
// side by side. Lane s of every vector belongs to series s, so the
// sequential sums of several series advance together (independent chains,
// no longer one latency-bound chain at a time) while each sum keeps its own
// ascending order, to the bit.
//
// Contract:
//   * Every result it gives equals test_series on that series alone, to
//     the bit, for every kernel variant.
//   * It takes a lane when its series is finite, not
//     constant, not tiny (largest magnitude at least 2^-200), 1 <= d < n,
//     d <= group_max_lag, and every tau-hat is nonzero and finite; every
//     other lane (every error among them) is left to test_series.
//   * Series are read in place through their own pointer and stride (any
//     alignment, any sign of stride); working memory is a fixed stack block.
//   * Runs in FloatingPointScope, like el_test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "src/statistical_tests/escanciano_lobato.hpp"
#include "src/statistical_tests/lag_kernels.hpp"

namespace larkspur::statistical_tests {

inline constexpr std::size_t group_width = 8;
inline constexpr std::uint64_t group_max_lag = 32;

struct GroupSeries {
    const unsigned char* data;  // element 0
    std::ptrdiff_t stride;      // bytes from one element to the next
};

// Results of the lanes this path takes, out[s] for series[s] (at most
// group_width series, all of length n), and their mask: bit s for lane s.
// The other lanes are left as they were, for test_series to decide.
[[nodiscard]] unsigned group_fast_lanes(std::span<const GroupSeries> series, std::uint64_t n, double q, std::uint64_t d,
                                        ElResult* out, const KernelVariant& kernel = active_kernel());

}  // namespace larkspur::statistical_tests
