// OLS: validate, build the design once (it doubles as the kept training copy), solve by
// Cholesky normal equations, an LU inverse or SVD least squares depending on n and p,
// then compute residuals, R², mse and standard errors, and commit everything at once.
#include "models/linear/ols.hpp"

#include <cmath>

#include "linalg/linalg.hpp"
#include "linalg/normal_equations.hpp"
#include "models/linear/fit_utils.hpp"
#include "models/inference.hpp"
#include "models/linear/stat_utils.hpp"

namespace kv {

Status OLS::fit(MatView x, VecView y) {
    const std::size_t n = x.rows, k = x.cols;
    if (n * k == 0 || y.size == 0) return value_error("Input arrays cannot be empty");
    if (n != y.size)
        return value_error("X and y shape mismatch: " + std::to_string(n) + " vs " + std::to_string(y.size));
    const std::size_t p = k + (fit_intercept ? 1 : 0);
    if (n <= p) return value_error("Insufficient samples for the number of parameters");
    if (auto limit = check_lapack_limits(n, p + 1); !limit.ok()) return limit;

    DesignCopy copy;
    copy_design_and_target(x, y, fit_intercept, copy);
    const MatView d = copy.design();
    const VecView yv = copy.target();
    // One symmetric product of [D | y]: DᵀD in the leading p × p block, Dᵀy in the last column.
    Matrix g = gram(copy.full);
    // Data whose squares leave double range are solved with every column of [1 | x | y] scaled by
    // a power of two (exact), and the results scaled back: β_j·c_j/c_y, residuals/c_y, mse/c_y².
    Vector c;
    if (gram_out_of_range(g, n)) {
        if (!all_finite(x) || !all_finite(y)) return value_error("Input contains NaN or infinite values");
        c = max_abs_scales(copy.full);
        if (fit_intercept) c[0] = 1.0;
        scale_columns(copy, c);
        g = gram(copy.full);
    }
    Matrix a(p, p);
    for (std::size_t j = 0; j < p; ++j) std::memcpy(a.col(j), g.col(j), p * sizeof(double));
    Matrix cross(p, 1);
    std::memcpy(cross.data(), g.col(p), p * sizeof(double));

    Vector beta;
    Matrix v;  // (DᵀD)⁻¹
    const MatView rhs{yv.data, n, 1, yv.stride, 0};
    if (n > 2 * p && p < 1000) {
        auto sol = solve_normal_equations(d, rhs, a, cross);
        if (!sol) {
            switch (sol.error()) {
                case NormalStep::Factor:
                case NormalStep::RankDeficient: return runtime_error("Matrix is singular");
                case NormalStep::ForwardSolve: return runtime_error("Cholesky forward solve failed");
                case NormalStep::BackSolve: return runtime_error("Cholesky back solve failed");
                case NormalStep::InverseForward:
                    return runtime_error("Failed to compute triangular solve for matrix inverse");
                case NormalStep::InverseBack: return runtime_error("Failed to compute matrix inverse from Cholesky");
            }
        }
        beta.assign(sol->beta.data(), sol->beta.data() + p);
        v = std::move(sol->xtx_inverse);
    } else if (n > 4 * p) {
        auto rank = check_rank(d, a);
        auto inv = inverse(a);
        if (!inv || (!rank && rank.error() == NormalStep::RankDeficient)) return runtime_error("Matrix is singular");
        beta = matvec(inv->view(), cross.data());
        v = std::move(*inv);
    } else {
        auto sol = solve_by_svd(d, rhs);
        if (!sol) {
            if (sol.error().rank_deficient) return runtime_error("Cannot compute standard errors: matrix is singular");
            return runtime_error("SVD failed: " + sol.error().error.render());
        }
        beta.assign(sol->beta.data(), sol->beta.data() + p);
        v = std::move(sol->xtx_inverse);
    }

    Vector e = residuals_of(d, beta, yv);
    const double ssr = dot(e.data(), e.data(), n);
    const double dfd = static_cast<double>(n - p);
    // The caller's y is contiguous, unlike the copy's column; the residuals are on the copy's scale.
    const double r2 = clamp_r_squared(c.empty() ? centred_r_squared(e, y) : centred_r_squared(e, yv));
    double mse_new = ssr / dfd;

    Vector se = robust ? hc0_standard_errors(d, e, v) : classical_standard_errors(v, mse_new);
    if (!c.empty()) {
        const double cy = c[p];
        for (std::size_t j = 0; j < p; ++j) {
            beta[j] = beta[j] * c[j] / cy;
            se[j] = se[j] * c[j] / cy;
            for (std::size_t i = 0; i < p; ++i) v(i, j) *= c[i] * c[j];
        }
        for (double& r : e) r /= cy;
        mse_new = mse_new / cy / cy;
    }

    auto split = stats::split_intercept_and_coefs(beta, se, fit_intercept);
    // Commit.
    n_samples = n;
    n_features = k;
    xtx_inverse = std::move(v);
    residuals = std::move(e);
    mse = mse_new;
    r_squared = r2;
    intercept = split.intercept;
    coefficients = std::move(split.coefficients);
    standard_errors = std::move(split.standard_errors);
    intercept_std_error = split.intercept_std_error;
    design_ = std::move(copy);
    covariance_cache_.reset();
    condition_number_cache_.reset();
    return {};
}

Result<Vector> OLS::predict(MatView x) const {
    if (!coefficients) return runtime_error("Model not fitted. Call fit() first.");
    if (x.cols != coefficients->size())
        return value_error("Feature count mismatch: expected " + std::to_string(coefficients->size()) + ", got " +
                           std::to_string(x.cols));
    return linear_prediction(x, *coefficients, intercept);
}

std::optional<Matrix> OLS::covariance_matrix() {
    return cached_covariance(covariance_cache_, xtx_inverse, mse);
}

Result<std::string> OLS::summary() const {
    stats::ReportLayout layout{"OLS Regression Results", "Least Squares", robust ? "HC0" : "nonrobust", true, false};
    stats::ReportInput in = inference::report_input(*this);
    if (design_ && residuals) {
        if (!condition_number_cache_) condition_number_cache_ = stats::scaled_condition_number(design_->design());
        in.diagnostics = stats::DiagnosticStats::compute(view_of(*residuals), *condition_number_cache_);
    }
    return stats::summary(layout, in);
}

std::string OLS::repr() const {
    return std::string("OLS(fit_intercept=") + (fit_intercept ? "true" : "false") +
           ", robust=" + (robust ? "true" : "false") + ")";
}

}  // namespace kv
