// IV for exactly identified models: with Z₁ = [1 | Z] and X₁ = [1 | X] (or Z and X alone
// without an intercept), β = (Z₁ᵀX₁)⁻¹Z₁ᵀy by one LU inverse, which also serves the sandwich
// covariance σ²·A⁻¹(Z₁ᵀZ₁)A⁻ᵀ. Residuals are structural: y − Xβ − intercept.
#include "models/linear/iv.hpp"

#include <cmath>

#include "linalg/linalg.hpp"
#include "models/linear/fit_utils.hpp"
#include "models/inference.hpp"
#include "models/linear/stat_utils.hpp"

namespace kv {

Status IV::fit(MatView instruments, MatView regressors, VecView targets) {
    const std::size_t n = instruments.rows, k = regressors.cols;
    if (n != targets.size) return value_error("Instruments and targets must have the same number of samples");
    if (regressors.rows != n) return value_error("Regressors and targets must have the same number of samples");
    if (instruments.cols != k)
        return value_error(
            "IV estimator requires exactly the same number of instruments as regressors (exact identification). "
            "For overidentified cases, use TSLS estimator.");
    if (n <= k) return value_error("Number of samples must be greater than number of regressors");
    const std::size_t p = k + (fit_intercept ? 1 : 0);
    if (auto limit = check_lapack_limits(n, p); !limit.ok()) return limit;

    const Matrix z1 = build_design(instruments, fit_intercept);  // n × p
    const Matrix x1 = build_design(regressors, fit_intercept);   // n × p
    const Vector y = to_vector(targets);

    const Matrix a = matmul(z1.transposed(), x1.view());  // Z₁ᵀX₁, p × p
    auto a_inv = inverse(a);
    if (!a_inv) return value_error("Z'X matrix is singular. Check instrument-regressor correlation.");
    const Vector zty = transposed_matvec(z1, y.data());
    const Vector beta = matvec(a_inv->view(), zty.data());

    Vector r = residuals_of(x1, beta, y);  // y − X₁β, the structural residuals
    const std::size_t d = n - p;
    if (d == 0) return value_error("Insufficient degrees of freedom for covariance estimation");
    const double ssr = dot(r.data(), r.data(), n);
    const double sigma2 = ssr / static_cast<double>(d);

    // (A⁻¹B)(A⁻¹)ᵀ with B = Z₁ᵀZ₁; the transpose is a view, never materialised.
    const Matrix b = gram(z1);
    const Matrix c = matmul(a_inv->view(), b.view());
    Matrix v = scaled(matmul(c.view(), a_inv->transposed()), sigma2);

    Vector se(p);
    for (std::size_t j = 0; j < p; ++j) se[j] = std::sqrt(v(j, j));
    const double r2 = centred_r_squared(ssr, y);
    auto split = stats::split_intercept_and_coefs(beta, se, fit_intercept);

    // Commit.
    intercept = split.intercept;
    coefficients = std::move(split.coefficients);
    residuals = std::move(r);
    n_samples = n;
    n_features = k;
    covariance_matrix = std::move(v);
    mse = sigma2;
    r_squared = r2;
    standard_errors = std::move(split.standard_errors);
    intercept_std_error = split.intercept_std_error;
    fitted_flag = true;
    return {};
}

Result<Vector> IV::predict(MatView regressors) const {
    if (!fitted_flag) return value_error("Model not fitted");
    if (regressors.cols != coefficients->size())
        return value_error("Feature count mismatch: expected " + std::to_string(coefficients->size()) + ", got " +
                           std::to_string(regressors.cols));
    return linear_prediction(regressors, *coefficients, intercept);
}

Result<std::string> IV::summary() const {
    const stats::ReportLayout layout{"IV", "Instrumental Variables", "nonrobust", true, false};
    stats::ReportInput in = inference::report_input(*this);
    return stats::summary(layout, in);
}

}  // namespace kv
