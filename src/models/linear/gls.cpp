// GLS: factor Σ = L·Lᵀ in one n × n buffer (lower triangle of Σ only), whiten [1 | X | y] by one
// forward substitution with L (Σ is never inverted), then solve the whitened least-squares
// problem by the shared step: normal equations when n > 3p, SVD least squares otherwise.
// Everything reported (residuals, mse, R², standard errors) is on the whitened scale; the fitted
// state keeps the whitened design's triangular factor for the report, never Σ.
#include "models/linear/gls.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "linalg/linalg.hpp"
#include "models/covariance.hpp"
#include "models/inference.hpp"
#include "models/linear/layouts.hpp"
#include "models/linear/fit_utils.hpp"
#include "models/solve.hpp"

namespace kv {

namespace {

constexpr RoutePolicy routes{
    .normal_above = 3,
    .singular = "XTX not positive definite",
    .singular_svd = "Cannot compute standard errors",
    .svd_failed = "SVD failed: ",
    .forward_solve = "Cholesky solve failed",
    .back_solve = "Cholesky solve failed",
    .inverse_forward = "Forward solve failed",
    .inverse_back = "Back solve failed",
};

constexpr PredictText predict_text{ErrorKind::Runtime, "Model not fitted", "Feature mismatch: expected "};

}  // namespace

Status GLS::fit(MatView x, VecView y, MatView sigma) {
    const std::size_t n = x.rows, k = x.cols;
    if (y.size != n || sigma.rows != n || sigma.cols != sigma.rows)
        return value_error("Shape mismatch: X(" + std::to_string(n) + "," + std::to_string(k) + "), y(" +
                           std::to_string(y.size) + "), sigma(" + std::to_string(sigma.rows) + "," +
                           std::to_string(sigma.cols) + ")");
    if (n == 0 || k == 0) return value_error("Empty input arrays");
    const std::size_t p = k + (fit_intercept ? 1 : 0);
    if (p >= n) return value_error("Insufficient samples");
    if (auto limit = check_lapack_limits(n, n); !limit.ok()) return limit;

    // Σ/4ᵉ with 4ᵉ near its largest variance: whitening by L/2ᵉ then stays within double range
    // (Σ of order 1e-307 would overflow DᵀD), and everything whitened is 2ᵉ times its true value,
    // undone exactly at the end. β and its standard errors do not depend on the scale of Σ.
    Matrix factor = to_matrix(sigma);  // n × n: Σ/4ᵉ, then L in place
    double largest = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (std::isfinite(factor(i, i))) largest = std::max(largest, std::fabs(factor(i, i)));
    int half_exponent = 0;
    if (largest > 0) {
        std::frexp(largest, &half_exponent);
        half_exponent /= 2;
        for (std::size_t i = 0; i < factor.size(); ++i)
            factor.data()[i] = std::ldexp(factor.data()[i], -2 * half_exponent);
    }
    auto l = cholesky_lower(std::move(factor));
    if (!l) return runtime_error("Covariance matrix is not positive definite");
    DesignCopy copy;  // [1 | X | y], n × (p + 1), column-major for the solve
    copy_design_and_target(x, y, fit_intercept, copy, true);
    auto whitened = solve_lower(*l, std::move(copy.storage));
    if (!whitened) return runtime_error("Whitening X failed");
    const Matrix& w = *whitened;
    const MatView d{w.data(), n, p, 1, static_cast<std::ptrdiff_t>(n)};
    const VecView ys{w.col(p), n, 1};

    auto sol = solve(Problem{d, ys}, routes);
    if (!sol) return fail(std::move(sol.error()));
    Vector r = residuals_of(d, sol->beta, ys);
    double ssr = 0;
    const double r2 = clamp_r_squared(centred_r_squared(r, ys, nullptr, &ssr));  // a NaN stays NaN
    const double whitened_mse = ssr / static_cast<double>(n - p);  // on the scale of Σ/4ᵉ
    for (double& v : r) v = std::ldexp(v, -half_exponent);
    state_ = make_linear_fit(n, k, fit_intercept, std::move(sol->beta), std::move(sol->r), std::move(r),
                             std::ldexp(whitened_mse, -2 * half_exponent), r2,
                             classical_covariance(sol->bread, whitened_mse));
    return {};
}

Result<VectorOut> GLS::predict(MatView x) const { return predict_linear(state_ ? &*state_ : nullptr, x, predict_text); }

Result<std::string> GLS::named_summary(const stats::ReportNames* names) const {
    const stats::ReportLayout& layout = stats::gls_layout;
    stats::ReportInput in = inference::report_input(*this);
    if (state_) in.diagnostics = stats::DiagnosticStats::compute(view_of(state_->residuals), state_->condition_number());
    in.names = names;
    return stats::summary(layout, in);
}

std::string GLS::repr() const { return std::string("GLS(fit_intercept=") + (fit_intercept ? "true" : "false") + ")"; }

}  // namespace kv
