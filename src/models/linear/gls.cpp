// GLS: factor Σ = L·Lᵀ (lower triangle of Σ only), whiten y, the regressors and the
// column of ones by forward substitution with L (Σ is never inverted), then solve the
// whitened least-squares problem: the shared normal-equation solver when n > 3p, SVD
// least squares with an LU inverse for the covariance otherwise. Everything reported
// (residuals, mse, R², standard errors) is on the whitened scale.
#include "models/linear/gls.hpp"

#include <cmath>
#include <cstring>

#include "linalg/linalg.hpp"
#include "linalg/normal_equations.hpp"
#include "models/linear/fit_utils.hpp"
#include "models/inference.hpp"
#include "models/linear/stat_utils.hpp"

namespace kv {

namespace {

// D = L⁻¹·[1 | X], n × p: column 0 is L⁻¹1 when `intercept`, then L⁻¹X (all columns
// solved at once).
Result<Matrix> whiten_design(const Matrix& l, const Matrix& x, bool intercept) {
    auto xw = solve_lower(l, x);
    if (!xw) return runtime_error("Whitening X failed");
    if (!intercept) return std::move(*xw);
    const std::size_t n = x.rows(), k = x.cols();
    auto cw = solve_lower(l, Vector(n, 1.0));
    if (!cw) return runtime_error("Whitening intercept failed");
    Matrix d(n, k + 1);
    std::memcpy(d.col(0), cw->data(), n * sizeof(double));
    std::memcpy(d.col(1), xw->data(), n * k * sizeof(double));
    return d;
}

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
    Matrix sigma_copy = to_matrix(sigma);  // n × n, kept as training_sigma
    double largest = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (std::isfinite(sigma_copy(i, i))) largest = std::max(largest, std::fabs(sigma_copy(i, i)));
    int half_exponent = 0;
    if (largest > 0) {
        std::frexp(largest, &half_exponent);
        half_exponent /= 2;
        for (std::size_t i = 0; i < sigma_copy.size(); ++i)
            sigma_copy.data()[i] = std::ldexp(sigma_copy.data()[i], -2 * half_exponent);
    }
    auto l = cholesky_lower(sigma_copy);
    if (!l) return runtime_error("Covariance matrix is not positive definite");
    auto yw = solve_lower(*l, to_vector(y));
    if (!yw) return runtime_error("Whitening y failed");
    Matrix x_copy = to_matrix(x);  // n × k, kept as training_x
    auto dw = whiten_design(*l, x_copy, fit_intercept);
    if (!dw) return fail(std::move(dw.error()));
    const Matrix& d = *dw;
    const Vector& ys = *yw;

    Vector beta;
    Matrix v;  // (DᵀD)⁻¹
    const MatView rhs{ys.data(), n, 1, 1, static_cast<std::ptrdiff_t>(n)};
    if (n > 3 * p) {
        const Matrix a = gram(d);
        auto sol = solve_normal_equations(d.view(), rhs, a, column_matrix(transposed_matvec(d, ys.data())));
        if (!sol) {
            switch (sol.error()) {
                case NormalStep::Factor:
                case NormalStep::RankDeficient: return runtime_error("XTX not positive definite");
                case NormalStep::ForwardSolve:
                case NormalStep::BackSolve: return runtime_error("Cholesky solve failed");
                case NormalStep::InverseForward: return runtime_error("Forward solve failed");
                case NormalStep::InverseBack: return runtime_error("Back solve failed");
            }
        }
        beta.assign(sol->beta.data(), sol->beta.data() + p);
        v = std::move(sol->xtx_inverse);
    } else {
        auto sol = solve_by_svd(d.view(), rhs);
        if (!sol) {
            if (sol.error().rank_deficient) return runtime_error("Cannot compute standard errors");
            return runtime_error("SVD failed: " + sol.error().error.render());
        }
        beta.assign(sol->beta.data(), sol->beta.data() + p);
        v = std::move(sol->xtx_inverse);
    }

    Vector r = residuals_of(d, beta, ys);
    const double ssr = dot(r.data(), r.data(), n);
    const double whitened_mse = ssr / static_cast<double>(n - p);  // on the scale of Σ/4ᵉ
    const double mse_new = std::ldexp(whitened_mse, -2 * half_exponent);
    const double r2 = clamp_r_squared(centred_r_squared(r, ys));  // a NaN stays NaN
    Vector se = classical_standard_errors(v, whitened_mse);
    auto split = stats::split_intercept_and_coefs(beta, se, fit_intercept);
    auto fresh_once = std::make_unique<std::once_flag>();

    // Commit.
    n_samples = n;
    n_features = k;
    training_x = std::move(x_copy);
    training_sigma = std::move(sigma_copy);
    for (double& v : r) v = std::ldexp(v, -half_exponent);
    residuals = std::move(r);
    mse = mse_new;
    r_squared = r2;
    intercept = split.intercept;
    coefficients = std::move(split.coefficients);
    standard_errors = std::move(split.standard_errors);
    intercept_std_error = split.intercept_std_error;
    whitened_design_.reset();
    condition_number_.reset();
    whitened_error_.reset();
    whitened_once_ = std::move(fresh_once);
    return {};
}

Status GLS::ensure_whitened_design() const {
    std::call_once(*whitened_once_, [this] {
        auto l = cholesky_lower(*training_sigma);
        if (!l) {
            whitened_error_ = Error{ErrorKind::Runtime, "Covariance matrix should be positive definite"};
            return;
        }
        auto d = whiten_design(*l, *training_x, fit_intercept);
        if (!d) {
            whitened_error_ = std::move(d.error());
            return;
        }
        condition_number_ = stats::scaled_condition_number(d->view());
        whitened_design_ = std::move(*d);
    });
    if (whitened_error_) return fail(*whitened_error_);
    return {};
}

Result<Vector> GLS::predict(MatView x) const {
    if (!coefficients) return runtime_error("Model not fitted");
    if (x.cols != coefficients->size())
        return value_error("Feature mismatch: expected " + std::to_string(coefficients->size()) + ", got " +
                           std::to_string(x.cols));
    return linear_prediction(x, *coefficients, intercept);
}

Result<std::string> GLS::summary() const {
    const stats::ReportLayout layout{"GLS Regression Results", "Generalized Least Squares", "nonrobust", true, false};
    stats::ReportInput in = inference::report_input(*this);
    if (training_x && training_sigma && residuals) {
        if (auto built = ensure_whitened_design(); !built.ok()) return fail(built.error());
        in.diagnostics = stats::DiagnosticStats::compute(view_of(*residuals), *condition_number_);
    }
    return stats::summary(layout, in);
}

std::string GLS::repr() const { return std::string("GLS(fit_intercept=") + (fit_intercept ? "true" : "false") + ")"; }

}  // namespace kv
