// The generalized spectral test of the martingale-difference hypothesis
// (J. C. Escanciano and C. Velasco, "Generalized spectral tests for the
// martingale difference hypothesis", Journal of Econometrics 134 (2006)
// 151-185): the statistic and its wild-bootstrap replicates.
//
// With m_j = n - j, the lagged points p_1..p_{n-1} and
// K(u, v) = exp(-(p_u - p_v)^2 / 2), for each lag j = 1..n-1
//     Q_j = sum_{t, s = j+1..n} a_t a_s K(t - j, s - j),   T = (1 / S) sum_j w_j Q_j.
//   Standardised (the default): a_t = y_t - ybar_j (the mean of y_{j+1..n}),
//     S = s^2 = (1/n) sum (y_t - ybar)^2, p = (y - ybar) / s, w_j = 1 / (m_j (j pi)^2).
//     T does not depend on the series' location or scale: the series is
//     first scaled by a power of two (exactly) so that its largest magnitude
//     is in [1, 2), so x -> 2^k x changes no bit.
//   Vrtest (for reproducing published results; depends on the units):
//     a_t = y_t - ybar, S = (1/(n-1)) sum (y_t - ybar)^2, p = y (raw),
//     w_j = 1 / ((j pi)^2 (n - j + 1)).
// Replicate with multipliers V_1..V_n (x_t = (y_t - ybar) V_t), kernel,
// points and S fixed: standardised, a = x centred within each lag's block
// (the doubly centred kernel P K P); vrtest, a = x minus its whole-sample mean.
//
// Computation: K ~ L L' by pivoted Cholesky (pivoted_cholesky.hpp) and
// Q_j ~ sum_k c_k(j)^2, c_k(j) = sum_u a_{u+j} L_{u,k}, for all lags at once
// by correlations (real_correlation.hpp); block centring subtracts
// mean(a) * sum_{u<m_j} L_{u,k} from prefix sums. The truncation only
// underestimates: 0 <= T_exact - T <= error_bound, with per lag
// a' E a <= |a|^2 trace(E restricted to the block) (E = K - L L' is positive
// semidefinite); on top come rounding errors of the order of the unit
// roundoff times log N. Small series take the exact path: each Q_j as the
// full quadratic form, O(n^3) per evaluation, bound 0.
//
// Contract:
//   * Every sum in a fixed order, cr_exp for the kernel, no libm call that
//     reaches a result (frexp and ldexp, exact by definition, pick the power of
//     two), each public entry inside a FloatingPointScope: the same bits on
//     every platform, CPU and caller's rounding mode.
//   * GstPrepared is immutable once made and may be shared by any number of
//     threads; replicate() writes only the caller's GstWorkspace (one per
//     thread), allocates nothing, and its result does not depend on the thread.
//   * Ordinary failures are GstError values; std::bad_alloc never escapes.
//     InternalFault marks a broken precondition of replicate().
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "src/statistical_tests/generalized_spectral/complex.hpp"

namespace larkspur::statistical_tests::generalized_spectral {

enum class GstForm { Standardised, Vrtest };
enum class GstMethod { Automatic, LowRank, Exact };

// Up to this length Automatic takes the exact path: below it the direct
// quadratic forms cost less than the factor and the transforms (measured by
// bench/gst_bench.cpp, statistic plus 999 replicates).
inline constexpr std::size_t exact_path_up_to = 48;

// The bytes a prepared series may spend on the spectra of its factor's
// column pairs (16 N per pair, N ~ 2n: 3.1 MiB at n = 1e5, twice the two
// columns themselves). Past it the remaining pairs are transformed again in
// every evaluation, one more transform each, with the same bits. At n = 1e5,
// 64 MiB stores every pair up to rank 40 (normal and GARCH data, rank 28 to
// 38, run as fast as before) and keeps a run's peak under 200 MB (191 MiB)
// up to rank about 138, where the factor's columns alone take 105 MiB
// (measured by bench/gst_bench.cpp: t3 data, rank 85, 150 MiB; t2, rank 106,
// 166 MiB). The recomputed pairs cost time: 40% more per replicate at rank 85.
inline constexpr std::size_t default_spectra_budget = std::size_t{64} << 20;

struct GstOptions {
    GstForm form = GstForm::Standardised;
    // The factor stops when the residual trace is below tolerance * (n - 1).
    // The truncation error relative to T is about tolerance times the ratio of
    // the series' largest squares to s^2: at 1e-12 it reached 1.6e-12 on
    // 250 normal values and 5e-10 on Cauchy-like ones; 1e-14 keeps it below
    // 1e-13 on the tested series for one or two more columns.
    double tolerance = 1e-14;
    GstMethod method = GstMethod::Automatic;
    // Less memory for more transforms; no bit of any result depends on it.
    std::size_t spectra_budget = default_spectra_budget;
};

enum class GstErrorKind {
    TooShort,           // fewer than two values
    NotFinite,          // a value, the mean or the sum of squares is not finite
    Constant,           // all values equal: s^2 = 0
    LaggedValuesEqual,  // y_1..y_{n-1} all equal (n >= 3): the kernel carries nothing
    OutOfMemory,        // an allocation failed
};

struct GstError {
    GstErrorKind kind;
    [[nodiscard]] std::string message() const;
    friend bool operator==(const GstError&, const GstError&) = default;
};

struct GstStatistic {
    double value;        // T
    double error_bound;  // T_exact - T is at most this (0 on the exact path)
    std::size_t rank;    // columns of the factor (0 on the exact path)
    GstMethod method;    // LowRank or Exact, as taken
};

struct GstData;

// Per-thread buffers for replicate(): made by GstPrepared::make_workspace
// for one prepared series, reused for any number of replicates.
class GstWorkspace {
public:
    // The truncation bound of the last replicate (as GstStatistic::error_bound).
    [[nodiscard]] double last_error_bound() const noexcept { return last_error_bound_; }

private:
    friend class GstPrepared;
    friend struct GstData;
    const GstData* owner_ = nullptr;
    std::vector<Complex> spectrum_, product_, scratch_;
    std::vector<double> values_, suffix_, squares_, lag_sums_;
    double last_error_bound_ = 0.0;
};

class GstPrepared {
public:
    [[nodiscard]] static std::expected<GstPrepared, GstError> make(std::span<const double> series,
                                                                   const GstOptions& options = {});

    [[nodiscard]] const GstStatistic& statistic() const noexcept;
    [[nodiscard]] std::size_t size() const noexcept;
    [[nodiscard]] GstForm form() const noexcept;
    // Bytes held by this object (the factor's columns and stored spectra, or the kernel matrix).
    [[nodiscard]] std::size_t memory_bytes() const noexcept;

    [[nodiscard]] std::expected<GstWorkspace, GstError> make_workspace() const;
    // T* for the multipliers V_1..V_n; weights.size() must be size() and the
    // workspace made by this object (or a copy of it).
    [[nodiscard]] double replicate(std::span<const double> weights, GstWorkspace& workspace) const;

private:
    explicit GstPrepared(std::shared_ptr<const GstData> data) : data_(std::move(data)) {}
    std::shared_ptr<const GstData> data_;
};

}  // namespace larkspur::statistical_tests::generalized_spectral
