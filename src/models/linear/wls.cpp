// WLS: the rows of the design and of y scaled by s_i = √w_i (no n × n weight matrix) give the
// weighted Gram matrix in one streamed pass; the shared step solves it (normal equations when
// n > 3p, SVD least squares otherwise or when the normal equations fail for a reason other than
// rank), and residuals and mse are reported on the scale of y, R² and standard errors weighted.
#include "models/linear/wls.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "linalg/linalg.hpp"
#include "linalg/stream.hpp"
#include "models/covariance.hpp"
#include "models/inference.hpp"
#include "models/linear/layouts.hpp"
#include "models/linear/fit_utils.hpp"
#include "models/solve.hpp"

namespace kv {

namespace {

// n × p design with row i multiplied by s_i: column 0 holds s itself when `intercept`
// (the scaled column of ones). Reads x in its own memory order, so a C-ordered x is
// traversed row by row and a Fortran-ordered one column by column.
Matrix scaled_design(const MatView& x, const Vector& s, bool intercept) {
    const std::size_t n = x.rows, k = x.cols, off = intercept ? 1 : 0;
    Matrix d(n, k + off);
    if (intercept) std::memcpy(d.col(0), s.data(), n * sizeof(double));
    if (x.row_major()) {
        for (std::size_t i = 0; i < n; ++i) {
            const double si = s[i];
            const double* row = x.data + static_cast<std::ptrdiff_t>(i) * x.rs;
            for (std::size_t j = 0; j < k; ++j) d(i, j + off) = row[j] * si;
        }
    } else {
        for (std::size_t j = 0; j < k; ++j) {
            double* dj = d.col(j + off);
            for (std::size_t i = 0; i < n; ++i) dj[i] = x(i, j) * s[i];
        }
    }
    return d;
}

// The exponent frexp gives a positive finite w (w = m·2ᵉ, m in [½, 1)), read from its bits
// unless w is subnormal.
inline int exponent_of(double w) {
    std::uint64_t bits;
    std::memcpy(&bits, &w, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    if (biased != 0) return biased - 1022;
    int e = 0;
    std::frexp(w, &e);
    return e;
}

constexpr RoutePolicy routes{
    .normal_above = 3,
    .svd_after_failed_normal = true,
    .singular = "Cannot compute standard errors: design matrix is singular",
    .singular_svd = "Cannot compute standard errors: design matrix is singular",
    .svd_failed = "Failed to solve the weighted least squares system",
};

constexpr PredictText predict_text{ErrorKind::Value, "Model must be fitted before making predictions",
                                   "Number of features doesn't match training data"};

}  // namespace

Status WLS::check_shapes(std::size_t n, std::size_t k, std::size_t ny, std::size_t nw) const {
    if (n != ny || n != nw) return value_error("Input arrays must have consistent dimensions");
    if (n == 0 || k == 0) return value_error("Input arrays cannot be empty");
    if (n <= k + (fit_intercept ? 1 : 0)) return value_error("Number of samples must be greater than number of parameters");
    return {};
}

Status WLS::fit(MatView x, VecView y, VecView weights) {
    const std::size_t n = x.rows, k = x.cols;
    if (auto shapes = check_shapes(n, k, y.size, weights.size); !shapes.ok()) return shapes;
    const std::size_t p = k + (fit_intercept ? 1 : 0);
    // The residuals are allocated before any pass over the data: a fit that cannot keep them fails
    // at once (MemoryError).
    Vector r(n);  // y − [1 | x]β on the scale of y
    // Rejects 0 of either sign, negatives, NaN and ±∞ (positive subnormals pass), and finds the
    // weights' exponent range in the same pass.
    int lo = 0, hi = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double w = weights[i];
        if (!(w > 0.0) || !std::isfinite(w)) return value_error("All weights must be positive and finite");
        const int e = exponent_of(w);
        lo = i ? std::min(lo, e) : e;
        hi = i ? std::max(hi, e) : e;
    }
    if (auto limit = check_lapack_limits(n, p); !limit.ok()) return limit;

    // Estimates, standard errors and R² do not change when every weight is multiplied by one
    // constant: a power of four c² centred on the weights' exponent range keeps w·x² within double
    // range (weights of 1e307 would overflow DᵀD) without rounding anything, √w included: the rows
    // are scaled by √wᵢ·c, which is √(wᵢ·c²) exactly. Nothing n-sized is made of the weights.
    const double c = std::ldexp(1.0, -((lo + hi) / 4));
    // The weighted rows √wᵢ·c·[1 | xᵢ | yᵢ] are formed block by block as the Gram pass reads them;
    // the whole weighted design is built only for the routes that factor it.
    RowSource rows{x, &y, fit_intercept};
    rows.sqrt_weights = &weights;
    rows.weight_scale = c;
    TargetStats target;
    const Matrix g = streamed_gram(rows, &target);
    const GramBlocks blocks(g, p);
    Matrix d;
    Vector ys;
    auto weighted = [&](Problem& pb) {
        Vector sw(n);
        for (std::size_t i = 0; i < n; ++i) sw[i] = std::sqrt(weights[i]) * c;
        d = scaled_design(x, sw, fit_intercept);  // n × p
        ys.resize(n);
        for (std::size_t i = 0; i < n; ++i) ys[i] = y[i] * sw[i];
        pb.design = d.view();
        pb.target = view_of(ys);
    };
    auto sol = solve(Problem(n, p, blocks.dtd, blocks.dty, weighted), routes);
    if (!sol) return fail(non_finite_or(std::move(sol.error()), {routes.singular, routes.singular_svd}, {x, column_of(y)}));
    // R², SSR and the weighted SSR from each block of residuals while it is in cache.
    RSquaredSums sums(target.weight_sum, target.weighted_sum, target.largest, weights, c);
    streamed_residuals(rows, sol->beta.data(), r.data(), nullptr,
                       [&](std::size_t i0, std::size_t m) { sums.add(r.data(), y, i0, m); });
    double ssr = 0.0, wssr = 0.0;
    const double df = static_cast<double>(n - p);
    const double r2 = sums.r_squared(&ssr, &wssr);
    // The errors take the weighted residual variance; the reported mse is unweighted.
    state_ = make_linear_fit(n, k, fit_intercept, std::move(sol->beta), std::move(sol->r), std::move(r), ssr / df, r2,
                             classical_covariance(sol->bread, wssr / df));
    return {};
}

Result<std::optional<Solution>> WLS::solve_rounds(std::size_t, std::size_t k, const rounds::GramRound& gram,
                                                  const rounds::FactorRound* factor) const {
    const rounds::ChunkHeader& h = gram.head;
    const auto n = static_cast<std::size_t>(h.rows_x);
    if (auto shapes = check_shapes(n, k, static_cast<std::size_t>(h.rows_y), static_cast<std::size_t>(h.rows_w));
        !shapes.ok() || h.mismatch)
        return fail(shapes.ok() ? Error{ErrorKind::Value, "Input arrays must have consistent dimensions"}
                                : std::move(shapes.error()));
    if (h.bad_weight) return value_error("All weights must be positive and finite");
    const std::size_t p = k + (fit_intercept ? 1 : 0);
    if (auto limit = check_lapack_limits(n, p); !limit.ok()) return fail(std::move(limit.error()));
    if (auto data = rounds::check_range(gram); !data.ok()) return fail(std::move(data.error()));
    return rounds::solve_merged(n, p, gram, factor, routes);
}

Status WLS::commit_rounds(std::size_t k, Solution sol, const rounds::ResidualRound& round) {
    const auto n = static_cast<std::size_t>(round.rows);
    const double df = static_cast<double>(n - sol.beta.size());
    adopt(make_linear_fit(n, k, fit_intercept, std::move(sol.beta), std::move(sol.r), Vector{}, round.ssr / df,
                          round.r_squared(), classical_covariance(sol.bread, round.wssr / df)));
    return {};
}

Result<VectorOut> WLS::predict(MatView x) const { return predict_linear(state_ ? &*state_ : nullptr, x, predict_text); }

Result<std::string> WLS::named_summary(const stats::ReportNames* names) const {
    stats::ReportInput in = inference::report_input(*this);
    in.names = names;
    return stats::summary(stats::wls_layout, in);
}

std::string WLS::repr() const { return std::string("WLS(fit_intercept=") + (fit_intercept ? "True" : "False") + ")"; }

}  // namespace kv
