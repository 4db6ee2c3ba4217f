// Generalised least squares with a full error covariance Σ, by Cholesky whitening.
#pragma once

#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"
#include "models/fitted.hpp"

namespace kv {

class GLS : public LinearModel {
public:
    // `residuals`, `mse` and `r_squared` are those of the whitened regression.
    explicit GLS(std::optional<bool> fit_intercept) : LinearModel(fit_intercept) {}

    Status fit(MatView x, VecView y, MatView sigma);
    Result<VectorOut> predict(MatView x) const;
    Result<std::string> summary() const { return named_summary(nullptr); }
    // The report with the caller's names for the target and the rows (stats::ReportNames).
    Result<std::string> named_summary(const stats::ReportNames* names) const;
    std::string repr() const;
};

}  // namespace kv
