// IV for exactly identified models: with Z₁ = [1 | Z] and X₁ = [1 | X] (or Z and X alone
// without an intercept), β = (Z₁ᵀX₁)⁻¹Z₁ᵀy by one LU inverse of the column-scaled A = Z₁ᵀX₁,
// which also serves the sandwich covariance σ²·A⁻¹(Z₁ᵀZ₁)A⁻ᵀ. When A is ill-conditioned
// (its condition is roughly the product of those of Z₁ and QᵀX₁), the product is never
// inverted: with Z₁ = QR, C = QᵀX₁ (p × p), β = C⁻¹Qᵀy and A⁻¹(Z₁ᵀZ₁)A⁻ᵀ = C⁻¹C⁻ᵀ; Z₁ and
// C are each judged by the rank rule. Residuals are structural: y − Xβ − intercept.
#include "models/linear/iv.hpp"

#include <cmath>
#include <cstring>
#include <optional>

#include "linalg/lapack.hpp"
#include "linalg/linalg.hpp"
#include "linalg/qr.hpp"
#include "models/linear/fit_utils.hpp"
#include "models/inference.hpp"
#include "models/linear/stat_utils.hpp"

namespace kv {

namespace {

// Below this reciprocal condition estimate of the scaled Z₁ᵀX₁ (a condition beyond about 10⁶)
// the LU route would lose more digits than the data lack: the orthogonal route takes over.
constexpr double min_cross_rcond = 1e-6;

struct IvSolution {
    Vector beta;     // p
    Matrix bread;    // p × p, A⁻¹(Z₁ᵀZ₁)A⁻ᵀ, the covariance over σ²
};

// Powers of two near 1/‖column‖, so that scaling is exact.
Vector column_scales(const Matrix& m) {
    Vector s(m.cols(), 1.0);
    for (std::size_t j = 0; j < m.cols(); ++j) {
        const double norm = KV_BLAS(cblas_dnrm2)(checked_int(m.rows()), m.col(j), 1);
        if (norm > 0 && std::isfinite(norm)) {
            int e = 0;
            std::frexp(norm, &e);
            s[j] = std::ldexp(1.0, -e);
        }
    }
    return s;
}

Matrix scaled_columns(const Matrix& m, const Vector& s) {
    Matrix out = m;
    for (std::size_t j = 0; j < m.cols(); ++j)
        for (std::size_t i = 0; i < m.rows(); ++i) out(i, j) *= s[j];
    return out;
}

std::optional<IvSolution> solve_through_cross_product(const Matrix& z1, const Matrix& x1, const Vector& y,
                                                      const Vector& sz, const Vector& sx) {
    const std::size_t p = z1.cols();
    Matrix a = matmul(z1.transposed(), x1.view());  // Z₁ᵀX₁, then Sz·Z₁ᵀX₁·Sx
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t i = 0; i < p; ++i) a(i, j) *= sz[i] * sx[j];
    double rcond = 0;
    auto a_inv = inverse(a, &rcond);
    if (!a_inv || !(rcond >= min_cross_rcond)) return std::nullopt;
    for (std::size_t j = 0; j < p; ++j)  // A⁻¹ = Sx·(Sz A Sx)⁻¹·Sz
        for (std::size_t i = 0; i < p; ++i) (*a_inv)(i, j) *= sx[i] * sz[j];
    const Vector zty = transposed_matvec(z1, y.data());
    IvSolution out{matvec(a_inv->view(), zty.data()), {}};
    // (A⁻¹B)(A⁻¹)ᵀ with B = Z₁ᵀZ₁; the transpose is a view, never materialised.
    const Matrix b = gram(z1);
    const Matrix c = matmul(a_inv->view(), b.view());
    out.bread = matmul(c.view(), a_inv->transposed());
    return out;
}

// Nothing when Z₁ or QᵀX₁ is rank-deficient to working precision.
std::optional<IvSolution> solve_through_qr(const Matrix& z1, const Matrix& x1, const Vector& y, const Vector& sz,
                                           const Vector& sx) {
    const std::size_t p = z1.cols();
    Householder h;
    if (!householder_qr(scaled_columns(z1, sz), h) || !full_rank(scaled_condition(r_factor(h)))) return std::nullopt;
    Matrix qx = scaled_columns(x1, sx);  // n × p, then Qᵀ·X₁·Sx
    Vector qy = y;
    if (!apply_q(h, 'T', qx.data(), p) || !apply_q(h, 'T', qy.data())) return std::nullopt;
    Matrix c(p, p);
    for (std::size_t j = 0; j < p; ++j) std::memcpy(c.col(j), qx.col(j), p * sizeof(double));
    if (!full_rank(scaled_condition(c))) return std::nullopt;
    auto c_inv = inverse(c);
    if (!c_inv) return std::nullopt;
    IvSolution out{matvec(c_inv->view(), qy.data()), Matrix::zeros(p, p)};
    for (std::size_t j = 0; j < p; ++j) out.beta[j] *= sx[j];
    // C⁻¹C⁻ᵀ, then Sx on both sides.
    KV_BLAS(cblas_dsyrk)(KV_CblasColMajor, KV_CblasLower, KV_CblasNoTrans, checked_int(p), checked_int(p), 1.0,
                         c_inv->data(), checked_int(p), 0.0, out.bread.data(), checked_int(p));
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t i = j; i < p; ++i) out.bread(j, i) = out.bread(i, j) *= sx[i] * sx[j];
    return out;
}

}  // namespace

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

    const Vector sz = column_scales(z1), sx = column_scales(x1);
    auto solved = solve_through_cross_product(z1, x1, y, sz, sx);
    if (!solved) solved = solve_through_qr(z1, x1, y, sz, sx);
    if (!solved) return value_error("Z'X matrix is singular. Check instrument-regressor correlation.");
    const Vector& beta = solved->beta;

    Vector r = residuals_of(x1, beta, y);  // y − X₁β, the structural residuals
    const std::size_t d = n - p;
    if (d == 0) return value_error("Insufficient degrees of freedom for covariance estimation");
    const double ssr = dot(r.data(), r.data(), n);
    const double sigma2 = ssr / static_cast<double>(d);
    Matrix v = scaled(solved->bread, sigma2);

    Vector se(p);
    for (std::size_t j = 0; j < p; ++j) se[j] = std::sqrt(v(j, j));
    const double r2 = centred_r_squared(r, y);
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
