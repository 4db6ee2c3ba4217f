// OLS: form DᵀD, Dᵀy and yᵀy in one pass over the caller's rows, solve by the shared step
// (Cholesky normal equations, an LU inverse or SVD least squares by n and p), then residuals, R²,
// mse and classical or HC0 errors from a second pass, committed at once. The design is copied
// only for the routes that factor it (ill-conditioned or small n) or to rescale extreme data.
#include "models/linear/ols.hpp"

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

// Normal equations for n > 2p and p < 1000, an LU inverse for n > 4p, SVD least squares otherwise.
constexpr RoutePolicy routes = [] {
    RoutePolicy r = matrix_routes;
    r.lu_above = 4;
    return r;
}();

constexpr PredictText predict_text{ErrorKind::Runtime, "Model not fitted. Call fit() first.",
                                   "Feature count mismatch: expected "};

}  // namespace

Status OLS::check_shapes(std::size_t n, std::size_t k, std::size_t ny) const {
    if (n * k == 0 || ny == 0) return value_error("Input arrays cannot be empty");
    if (n != ny) return value_error("X and y shape mismatch: " + std::to_string(n) + " vs " + std::to_string(ny));
    const std::size_t p = k + (fit_intercept ? 1 : 0);
    if (n <= p) return value_error("Insufficient samples for the number of parameters");
    return check_lapack_limits(n, p + 1);
}

Status OLS::fit(MatView x, VecView y) {
    const std::size_t n = x.rows, k = x.cols;
    if (auto shapes = check_shapes(n, k, y.size); !shapes.ok()) return shapes;
    const std::size_t p = k + (fit_intercept ? 1 : 0);

    // What the fit keeps is allocated before any pass over the data, so a fit that cannot store
    // its residuals fails at once (MemoryError) instead of after streaming every row.
    Vector e(n);
    // One pass over the caller's rows gives DᵀD, Dᵀy and yᵀy (the Gram matrix of [1 | x | y]);
    // nothing n × p is copied unless a rare route needs the design itself.
    const RowSource rows{x, &y, fit_intercept};
    TargetStats target;
    Matrix g = streamed_gram(rows, &target);
    // Data whose squares leave double range are solved on a copy of [1 | x | y] with every column
    // scaled by a power of two (exact), and the results scaled back.
    Vector c;
    DesignCopy copy;
    if (gram_out_of_range(g, n)) {
        if (!all_finite(x) || !all_finite(y)) return value_error("Input contains NaN or infinite values");
        copy_design_and_target(x, y, fit_intercept, copy);
        c = max_abs_scales(copy.full);
        if (fit_intercept) c[0] = 1.0;
        scale_columns(copy, c);
        g = gram(copy.full);
    }
    const GramBlocks blocks(g, p);
    auto make_copy = [&](Problem& pb) {
        if (!copy.storage.data()) copy_design_and_target(x, y, fit_intercept, copy);
        pb.design = copy.design();
        pb.target = copy.target();
    };
    Problem problem(n, p, blocks.dtd, blocks.dty, make_copy);
    if (copy.storage.data()) make_copy(problem);
    auto sol = solve(std::move(problem), routes);
    if (!sol) return fail(std::move(sol.error()));

    // Residuals, R² and the HC0 meat read the caller's rows again (the scaled copy after rescaling).
    const VecView yv = c.empty() ? y : copy.target();
    const RowSource fitted_rows = c.empty() ? rows : RowSource{copy.design(), &yv, false};
    Matrix meat;  // Dᵀdiag(e²)D, formed in the residual pass for robust errors
    double ssr = 0, r2 = 0;
    if (c.empty()) {
        // R² and SSR from each block of residuals while it is in cache.
        RSquaredSums sums(target.sum, target.largest, n);
        streamed_residuals(fitted_rows, sol->beta.data(), e.data(), robust ? &meat : nullptr,
                           [&](std::size_t i0, std::size_t m) { sums.add(e.data(), yv, i0, m); });
        r2 = clamp_r_squared(sums.r_squared(&ssr));
    } else {
        streamed_residuals(fitted_rows, sol->beta.data(), e.data(), robust ? &meat : nullptr);
        r2 = clamp_r_squared(centred_r_squared(e, yv, nullptr, &ssr));
    }
    const double mse = ssr / static_cast<double>(n - p);
    const std::optional<Matrix> hc0 = robust ? std::optional(hc0_covariance(meat, sol->bread)) : std::nullopt;
    LinearFit next = make_linear_fit(n, k, fit_intercept, std::move(sol->beta), std::move(sol->r), std::move(e), mse,
                                     r2, classical_covariance(sol->bread, mse), hc0 ? &*hc0 : nullptr);
    if (!c.empty()) unscale(next, c, c[p]);
    state_ = std::move(next);
    return {};
}

Result<std::optional<Solution>> OLS::solve_rounds(std::size_t, std::size_t k, const rounds::GramRound& gram,
                                                  const rounds::FactorRound* factor, const Vector* scales) const {
    const auto n = static_cast<std::size_t>(gram.head.rows_x);
    const auto ny = static_cast<std::size_t>(gram.head.rows_y);
    if (auto shapes = check_shapes(n, k, ny); !shapes.ok()) return fail(std::move(shapes.error()));
    if (gram.head.mismatch)  // a chunk of x and its chunk of y disagree, though the totals match
        return value_error("X and y shape mismatch: " + std::to_string(n) + " vs " + std::to_string(ny));
    if (!scales || gram.head.non_finite || gram.head.non_finite_target)
        if (auto data = rounds::check_range(gram, true); !data.ok()) return fail(std::move(data.error()));
    return rounds::solve_merged(n, k + (fit_intercept ? 1 : 0), gram, factor, routes);
}

Status OLS::commit_rounds(std::size_t k, Solution sol, const rounds::ResidualRound& round, const Vector* scales) {
    const auto n = static_cast<std::size_t>(round.rows);
    const double mse = round.ssr / static_cast<double>(n - sol.beta.size());
    const std::optional<Matrix> hc0 = robust ? std::optional(hc0_covariance(round.meat, sol.bread)) : std::nullopt;
    LinearFit next = make_linear_fit(n, k, fit_intercept, std::move(sol.beta), std::move(sol.r), Vector{}, mse,
                                     clamp_r_squared(round.r_squared()), classical_covariance(sol.bread, mse),
                                     hc0 ? &*hc0 : nullptr);
    next.diagnostics = round.diagnostics(next.condition_number());
    if (scales) unscale(next, *scales, scales->back());
    adopt(std::move(next));
    return {};
}

Result<VectorOut> OLS::predict(MatView x) const { return predict_linear(state_ ? &*state_ : nullptr, x, predict_text); }

Result<std::string> OLS::named_summary(const stats::ReportNames* names) const {
    const stats::ReportLayout layout = stats::ols_layout(robust);
    stats::ReportInput in = inference::report_input(*this);
    if (state_)
        in.diagnostics = state_->diagnostics ? *state_->diagnostics
                                             : stats::DiagnosticStats::compute(view_of(state_->residuals),
                                                                               state_->condition_number());
    in.names = names;
    return stats::summary(layout, in);
}

std::string OLS::repr() const {
    return std::string("OLS(fit_intercept=") + (fit_intercept ? "true" : "false") +
           ", robust=" + (robust ? "true" : "false") + ")";
}

}  // namespace kv
