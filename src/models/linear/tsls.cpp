// TSLS: the first stage projects X on W = [1 | Z] (Z alone without an intercept, since the
// constant is then no regressor), X̂ = P_W X; the second stage regresses y on D = [1 | X̂].
// Each stage takes the shared normal-equation solver when n is comfortably larger than its
// column count (n > 3·columns) and SVD least squares otherwise or when that solver fails. Residuals, mse, R² and the
// covariance s²·(DᵀD)⁻¹ all come from the structural residuals y − Xβ − intercept, with X itself.
//
// With n ≤ q + 1 (the columns of W, ones column included) and W of full row rank, as generic data
// give, the first stage interpolates, X̂ = X, and the fit is ordinary least squares of y on [1 | X].
#include "models/linear/tsls.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "linalg/linalg.hpp"
#include "linalg/normal_equations.hpp"
#include "models/linear/fit_utils.hpp"
#include "models/inference.hpp"
#include "models/linear/stat_utils.hpp"

namespace kv {

namespace {

// X̂ = WΠ (n × k), the projection of every regressor column on the span of W in one solve.
Result<Matrix> project_on_instruments(const Matrix& w, const MatView& x) {
    const std::size_t n = w.rows(), q1 = w.cols();
    if (n > 3 * q1) {
        const Matrix g = gram(w);
        const Matrix cross = matmul(w.transposed(), x);  // q1 × k
        auto sol = solve_normal_equations(w.view(), x, g, cross);
        // Even for a rank-deficient W this projection is sound: the solution's error lies along
        // W's null directions, where W maps it to rounding size.
        if (sol.ok()) return matmul(w.view(), sol->beta.view());
    }
    // SVD: the projection depends only on the span of W, so the columns are brought to unit
    // length first and the rank decision is independent of the instruments' units. Singular
    // values within max(n, q1)·ε of the largest count as zero: with machine precision as the
    // cut-off, a rank-deficient W keeps a singular value of rounding size, and its arbitrary
    // singular vector would enter X̂ at full weight.
    Matrix ws = w;
    for (std::size_t j = 0; j < q1; ++j) {
        const double norm = std::sqrt(dot(ws.col(j), ws.col(j), n));
        if (norm > 0 && std::isfinite(norm))
            for (std::size_t i = 0; i < n; ++i) ws(i, j) /= norm;
    }
    const double rcond = static_cast<double>(std::max(n, q1)) * DBL_EPSILON;
    auto ls = least_squares(ws, to_matrix(x), rcond);
    if (!ls) return value_error("Failed to solve first stage regression");
    return matmul(ws.view(), ls->solution.view());
}

}  // namespace

Status TSLS::fit(MatView instruments, MatView regressors, VecView targets) {
    const std::size_t n = instruments.rows, q = instruments.cols, k = regressors.cols;
    if (regressors.rows != n || targets.size != n)
        return value_error("All inputs must have the same number of samples");
    if (q < k) return value_error("TSLS requires at least as many instruments as regressors");
    if (n <= k) return value_error("Number of samples must be greater than number of regressors");
    const std::size_t off = fit_intercept ? 1 : 0, p = k + off;
    if (auto limit = check_lapack_limits(n, q + off); !limit.ok()) return limit;

    const Vector y = to_vector(targets);

    // First stage.
    Matrix xhat(n, 0);
    if (k > 0) {
        const Matrix w = build_design(instruments, fit_intercept);  // n × (q + 1), ones first
        auto projected = project_on_instruments(w, regressors);
        if (!projected) return fail(std::move(projected.error()));
        xhat = std::move(*projected);
    }

    // Second stage on D = [1 | X̂] (n × p).
    Matrix d = build_design(xhat.view(), fit_intercept);
    constexpr const char* singular = "X̂'X̂ matrix is singular";
    Matrix ycol(n, 1);
    std::copy(y.begin(), y.end(), ycol.data());
    Vector theta;
    Matrix dtd_inverse;
    bool solved = false;
    if (n > 3 * p && p > 0) {  // with no parameter at all there is nothing to factor
        const Matrix cross = matmul(d.transposed(), ycol.view());  // p × 1
        auto sol = solve_normal_equations(d, ycol, gram(d), cross);
        if (sol.ok()) {
            theta.assign(sol->beta.data(), sol->beta.data() + p);
            dtd_inverse = std::move(sol->xtx_inverse);
            solved = true;
        } else if (sol.error() == NormalStep::RankDeficient) {
            return value_error(singular);
        }
    }
    if (!solved) {
        auto sol = solve_by_svd(d.view(), ycol.view());
        if (!sol) return value_error(sol.error().rank_deficient ? singular : "Failed to solve second stage regression");
        theta.assign(sol->beta.data(), sol->beta.data() + p);
        dtd_inverse = std::move(sol->xtx_inverse);
    }

    // Structural residuals: the slope columns of D now hold X itself, D = [1 | X].
    copy_into(regressors, d, off);
    Vector r = residuals_of(d, theta, y);
    const std::size_t df_resid = n - p;
    if (df_resid == 0) return value_error("Insufficient degrees of freedom for covariance estimation");
    const double ssr = dot(r.data(), r.data(), n);
    const double s2 = ssr / static_cast<double>(df_resid);

    Matrix v = scaled(dtd_inverse, s2);
    Vector se(p);
    for (std::size_t j = 0; j < p; ++j) se[j] = std::sqrt(v(j, j));
    const double r2 = centred_r_squared(r, y);
    auto split = stats::split_intercept_and_coefs(theta, se, fit_intercept);

    // Commit.
    intercept = split.intercept;
    mse = s2;
    r_squared = r2;
    n_samples = n;
    n_features = k;
    intercept_std_error = split.intercept_std_error;
    coefficients = std::move(split.coefficients);
    standard_errors = std::move(split.standard_errors);
    residuals = std::move(r);
    covariance_matrix = std::move(v);
    fitted_flag = true;
    return {};
}

Result<Vector> TSLS::predict(MatView regressors) const {
    if (!fitted_flag) return value_error("Model not fitted");
    if (regressors.cols != coefficients->size())
        return value_error("Feature count mismatch: expected " + std::to_string(coefficients->size()) + ", got " +
                           std::to_string(regressors.cols));
    return linear_prediction(regressors, *coefficients, intercept);
}

Result<std::string> TSLS::summary() const {
    const stats::ReportLayout layout{"TSLS", "Two-Stage Least Squares", "nonrobust", true, false};
    stats::ReportInput in = inference::report_input(*this);
    return stats::summary(layout, in);
}

}  // namespace kv
