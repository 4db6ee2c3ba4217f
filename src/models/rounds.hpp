// The rounds of a fit over row chunks. Each round is an accumulator: `add` folds one chunk of rows
// into it, `merge` folds in another accumulator of the same round, and the merged result equals the
// one-pass statistic up to the order of summation. A fit over chunks is then a fold: the Gram round
// (or, where the condition estimate does not prove the Gram safe, the R factor of [D | y] by
// tall-skinny QR), the shared solve, and the residual round whose sums give the mse, R², the
// residual diagnostics and the meat of the robust covariance. Accumulators cross process boundaries
// as flat float64 vectors (`pack`, `unpack`), so a distributed engine ships nothing but p × p blocks
// and a few scalars.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "linalg/matrix.hpp"
#include "linalg/stream.hpp"
#include "models/error.hpp"
#include "models/linear/stat_utils.hpp"
#include "models/solve.hpp"

namespace kv::rounds {

// Count, mean and the central moment sums M2, M3, M4 of a stream of values, merged by the pairwise
// update formulas (Chan, Golub and LeVeque for M2; Pébay for M3 and M4), so no raw power sum loses
// its digits to a large mean.
struct Moments {
    double n = 0, mean = 0, m2 = 0, m3 = 0, m4 = 0;
    void add(const double* v, std::size_t m);
    void merge(const Moments& b);
};

// Total weight, weighted mean and Σwᵢ(vᵢ − mean)², merged the same way (weights all 1 when null).
struct WeightedMoments {
    double w = 0, mean = 0, m2 = 0;
    void add(const double* v, const double* weights, std::size_t m);
    void merge(const WeightedMoments& b);
};

// Rows and the weights' binary exponent range of a chunk, and the power-of-four weight shift the
// fit applies to all of them (WLS keeps w·x² in double range this way; see `weight_shift`).
struct ChunkHeader {
    double rows_x = 0, rows_y = 0, rows_w = 0;  // rows each input contributed
    double mismatch = 0;                        // a chunk whose inputs had different row counts
    double bad_weight = 0;                      // a weight that is not positive and finite
    double non_finite = 0;                      // a NaN or infinity in the design
    double weight_lo = 0, weight_hi = 0;        // binary exponents of the smallest and largest weight
    double rows_x2 = 0;                         // rows of the second design block (IV's and TSLS's regressors)
    double non_finite_target = 0;               // a NaN or infinity in the target
    void merge(const ChunkHeader& b);
};

// The power of four that centres the weights' exponent range [lo, hi] (WLS): multiplying every
// weight by it changes no estimate and keeps w·x² within double range.
int weight_shift(int lo, int hi);

// Σdᵢdᵢᵀ with dᵢ = √wᵢ·[1 | xᵢ | yᵢ]: the Gram matrix of the design and target, rows weighted.
struct GramRound {
    ChunkHeader head;
    Matrix gram;  // width × width, both triangles
    int shift = 0;  // the power-of-two weight shift `gram` is taken at

    // `rows.x2` holds a second block of columns (regressors after instruments); its rows are counted.
    void add(const RowSource& rows, const VecView* weights);
    void merge(const GramRound& b);
    Vector pack() const;
    static GramRound unpack(const VecView& v);
};

// The R factor of [D | y] (rows weighted by √(w·2^shift)) by tall-skinny QR: each chunk's R, merged by
// the QR of the two factors stacked. Its leading p × p block is an R of the design, its last column
// holds Qᵀy, and its corner |r| is √SSR. Given a β (a refinement round), the target column is the
// residual r = y − Dβ instead, formed in double-double arithmetic before it is rounded, so the last
// column holds Qᵀr; the round also sums the gradient g = Dᵀ(w ⊙ r) in double-double.
struct FactorRound {
    double rows = 0;
    Matrix r;  // width × width, upper triangular
    Vector grad_hi, grad_lo;  // p, refinement rounds only

    void add(const RowSource& rows, const VecView* weights, int shift, const double* beta = nullptr);
    void merge(const FactorRound& b);
    Vector pack() const;
    static FactorRound unpack(const VecView& v);
};

// The residual round of a fitted β: e = y − Dβ chunk by chunk, folded into the sums every class
// reads (Σe², the weighted Σwe², the target's weighted moments and largest magnitude for R²), and,
// when asked, the residuals' moments and Durbin–Watson's Σ(Δe)² (carrying each chunk's first and
// last residual) and HC0's meat Σeᵢ²dᵢdᵢᵀ.
struct ResidualRound {
    double rows = 0;
    double ssr = 0, wssr = 0, target_max = 0;
    WeightedMoments target;
    Moments residual;
    double dw = 0, first = 0, last = 0;
    Matrix meat;  // p × p, empty unless asked

    void add(const RowSource& rows, const VecView* weights, int shift, const double* beta, bool moments, bool hc0);
    // A block of m residuals e with their targets y (and weights w, or null), in row order.
    void fold(const double* e, const double* y, const double* w, std::size_t m, bool moments);
    void merge(const ResidualRound& b);
    Vector pack() const;
    static ResidualRound unpack(const VecView& v, std::size_t p);

    // 1 − Σwe²/Σw(y − ȳ)², 0 when the target is constant up to its own rounding (as the
    // in-memory R²), before any clamping.
    double r_squared() const;
    stats::DiagnosticStats diagnostics(double condition_number) const;
};

// The largest magnitude of every column of [x | y], merged by max. Data whose squares leave double
// range are fitted with every column scaled by a power of two (exact) and the results scaled back,
// as the in-memory OLS does with its copy; the scales come from this round.
struct RangeRound {
    Vector largest;  // k + 1

    void add(const RowSource& rows);
    void merge(const RangeRound& b);
    Vector pack() const { return largest; }
    static RangeRound unpack(const VecView& v);
    // The scale of each column of [1 | x | y] (the ones column keeps 1).
    Vector scales(bool intercept) const;
};

// Calls fn on sub-blocks of the rows with the columns of [1 | x | y] multiplied by `c` (each block copied
// scaled into a small buffer; the ones column and the row scale are kept).
void for_scaled_blocks(const RowSource& rows, const Vector& c, const std::function<void(const RowSource&)>& fn);

// Whether the merged Gram left double range with finite data (the rescaled fit is then needed).
bool needs_rescale(const GramRound& gram);

// ValueError "Input contains NaN or infinite values" when a chunk's design held one (its target too
// when `target_checked`: OLS refuses a non-finite target, the other classes carry it into NaN results);
// an error too when the merged Gram left double range with finite data, for the classes that do not
// rescale such data.
Status check_range(const GramRound& gram, bool target_checked = false);

// The shared solve on merged rounds: the Gram matrix of [D | y] goes to `solve` as the in-memory fit
// gives it; a route that needs the design itself gets the R factor of [D | y] instead (its leading
// p × p block as the design, the rest of its last column as the target, n rows for the route choice:
// the least-squares problem and the rank rule's singular values are those of the design). Without a
// factor such a route yields nothing: run the factor round and solve again.
// `route_size` and `rank_norms` as in Problem (FE: G + k, and the raw columns' lengths).
Result<std::optional<Solution>> solve_merged(std::size_t n, std::size_t p, const GramRound& gram,
                                             const FactorRound* factor, const RoutePolicy& policy,
                                             std::size_t route_size = 0, const Vector* rank_norms = nullptr);

// One step of iterative refinement of β from a refinement round on its residuals, which recovers the
// digits the factor's own rounding cost on the hardest designs. Where the design's scaled condition
// number κ keeps κ²ε small, the corrected semi-normal step β + (DᵀD)⁻¹g, which converges to the exact
// least-squares solution whatever the size of its residual; beyond, the QR step β + R⁻¹(Qᵀr), which
// converges for any κ below 1/ε. False when R cannot be solved.
bool refine(Solution& sol, const FactorRound& residual_factor);

}  // namespace kv::rounds
