// Shared readings of a fitted state: the report's condition number and predictions.
#include "models/fitted.hpp"

#include <cmath>
#include <limits>
#include <string_view>

#include "linalg/linalg.hpp"
#include "linalg/qr.hpp"
#include "models/covariance.hpp"

namespace kv {

double LinearFit::condition_number() const {
    if (r.rows() == 0) return std::numeric_limits<double>::quiet_NaN();
    return scaled_condition(r);
}

LinearFit make_linear_fit(std::uint64_t n, std::uint64_t k, bool intercept, Vector params, Matrix r, Vector residuals,
                          double mse, double r_squared, Matrix covariance, const Matrix* robust_covariance) {
    LinearFit f;
    f.n_samples = n;
    f.n_features = k;
    f.intercept = intercept;
    f.params = std::move(params);
    f.std_errors = standard_errors_of(robust_covariance ? *robust_covariance : covariance);
    f.residuals = std::move(residuals);
    f.mse = mse;
    f.r_squared = r_squared;
    f.covariance = std::move(covariance);
    if (robust_covariance) f.robust_covariance = *robust_covariance;
    f.r = std::move(r);
    return f;
}

void unscale(LinearFit& fit, const Vector& c, double cy) {
    const std::size_t p = fit.params.size();
    for (std::size_t j = 0; j < p; ++j) {
        fit.params[j] = fit.params[j] * c[j] / cy;
        fit.std_errors[j] = fit.std_errors[j] * c[j] / cy;
        for (std::size_t i = 0; i < p; ++i) fit.covariance(i, j) = fit.covariance(i, j) * c[i] * c[j] / cy / cy;
        if (fit.robust_covariance.size())
            for (std::size_t i = 0; i < p; ++i)
                fit.robust_covariance(i, j) = fit.robust_covariance(i, j) * c[i] * c[j] / cy / cy;
    }
    for (double& v : fit.residuals) v /= cy;
    fit.mse = fit.mse / cy / cy;
}

Result<VectorOut> predict_linear(const LinearFit* fit, const MatView& x, const PredictText& text) {
    if (!fit) return fail(Error{text.not_fitted_kind, text.not_fitted});
    const std::size_t k = fit->params.size() - (fit->intercept ? 1 : 0);
    if (x.cols != k) {
        std::string message = text.mismatch;
        if (std::string_view(message).ends_with("expected "))
            message += std::to_string(k) + ", got " + std::to_string(x.cols);
        return value_error(std::move(message));
    }
    return VectorOut{x.rows, [fit, x](double* out) {
                         const double* slopes = fit->params.data() + (fit->intercept ? 1 : 0);
                         gemv_update(x, slopes, 1.0, 0.0, out);
                         if (fit->intercept)
                             for (std::size_t i = 0; i < x.rows; ++i) out[i] += fit->params[0];
                     }};
}

}  // namespace kv
