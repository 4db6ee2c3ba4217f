// WLS: scale each row of y and of the design by s_i = √w_i (one pass, no n × n weight
// matrix), solve the scaled problem by the shared normal-equation solver when n > 3p
// (falling back to an LU inverse, then to SVD least squares) or by SVD least squares
// otherwise, and report residuals and mse on the scale of y, R² and standard errors weighted.
#include "models/linear/wls.hpp"

#include <cmath>
#include <cstring>

#include "linalg/linalg.hpp"
#include "linalg/normal_equations.hpp"
#include "models/linear/fit_utils.hpp"
#include "models/inference.hpp"
#include "models/linear/stat_utils.hpp"

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

}  // namespace

Status WLS::fit(MatView x, VecView y, VecView weights) {
    const std::size_t n = x.rows, k = x.cols;
    if (n != y.size || n != weights.size) return value_error("Input arrays must have consistent dimensions");
    if (n == 0 || k == 0) return value_error("Input arrays cannot be empty");
    const std::size_t p = k + (fit_intercept ? 1 : 0);
    if (n <= p) return value_error("Number of samples must be greater than number of parameters");
    // Rejects 0 of either sign, negatives, NaN and ±∞; positive subnormals pass.
    for (std::size_t i = 0; i < n; ++i) {
        const double w = weights[i];
        if (!(w > 0.0) || !std::isfinite(w)) return value_error("All weights must be positive and finite");
    }
    if (auto limit = check_lapack_limits(n, p); !limit.ok()) return limit;

    // Estimates, standard errors and R² do not change when every weight is multiplied by one
    // constant: a power of four centred on the weights' exponent range keeps w·x² within double
    // range (weights of 1e307 would overflow DᵀD) without rounding anything, √w included.
    Vector w = to_vector(weights);
    int lo = 0, hi = 0;
    for (std::size_t i = 0; i < n; ++i) {
        int e = 0;
        std::frexp(w[i], &e);
        lo = i ? std::min(lo, e) : e;
        hi = i ? std::max(hi, e) : e;
    }
    if (const int shift = -2 * ((lo + hi) / 4); shift != 0)
        for (double& v : w) v = std::ldexp(v, shift);
    Vector s(n), ys(n);
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = std::sqrt(w[i]);
        ys[i] = y[i] * s[i];
    }
    const Matrix d = scaled_design(x, s, fit_intercept);  // n × p

    constexpr const char* singular = "Cannot compute standard errors: design matrix is singular";
    Vector beta;
    Matrix v;  // (DᵀD)⁻¹
    bool solved = false;
    const MatView rhs{ys.data(), n, 1, 1, static_cast<std::ptrdiff_t>(n)};
    if (n > 3 * p) {
        const Matrix a = gram(d);
        const Vector b = transposed_matvec(d, ys.data());
        auto sol = solve_normal_equations(d.view(), rhs, a, column_matrix(b));
        if (sol.ok()) {
            beta.assign(sol->beta.data(), sol->beta.data() + p);
            v = std::move(sol->xtx_inverse);
            solved = true;
        } else if (sol.error() == NormalStep::RankDeficient) {
            return runtime_error(singular);
        }
    }
    if (!solved) {
        auto sol = solve_by_svd(d.view(), rhs);
        if (!sol) {
            if (sol.error().rank_deficient) return runtime_error(singular);
            return runtime_error("Failed to solve the weighted least squares system");
        }
        beta.assign(sol->beta.data(), sol->beta.data() + p);
        v = std::move(sol->xtx_inverse);
    }

    Vector r = residuals_of(d, beta, ys);  // scaled residuals r*, then r = r*/s in place
    double ssr = 0.0, wssr = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        r[i] /= s[i];
        ssr += r[i] * r[i];
        wssr += r[i] * r[i] * w[i];
    }
    const double dfd = static_cast<double>(n - p);
    const double r2 = centred_r_squared(r, y, w.data());
    const double sigma2_w = wssr / dfd;

    Vector se = classical_standard_errors(v, sigma2_w);
    auto split = stats::split_intercept_and_coefs(beta, se, fit_intercept);

    // Commit. Without an intercept the intercept fields are left as they are (always absent).
    n_samples = n;
    n_features = k;
    if (fit_intercept) {
        intercept = split.intercept;
        intercept_std_error = split.intercept_std_error;
    }
    coefficients = std::move(split.coefficients);
    standard_errors = std::move(split.standard_errors);
    residuals = std::move(r);
    mse = ssr / dfd;
    r_squared = r2;
    return {};
}

Result<Vector> WLS::predict(MatView x) const {
    if (!coefficients) return value_error("Model must be fitted before making predictions");
    if (x.cols != n_features.value_or(0)) return value_error("Number of features doesn't match training data");
    return linear_prediction(x, *coefficients, intercept);
}

Result<std::string> WLS::summary() const {
    const stats::ReportLayout layout{"WLS Regression Results", "Weighted Least Squares", "nonrobust", true, false};
    stats::ReportInput in = inference::report_input(*this);
    return stats::summary(layout, in);
}

std::string WLS::repr() const { return std::string("WLS(fit_intercept=") + (fit_intercept ? "True" : "False") + ")"; }

}  // namespace kv
