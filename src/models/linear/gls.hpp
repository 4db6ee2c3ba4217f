// Generalised least squares with a full error covariance Σ, by Cholesky whitening.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"
#include "models/linear/linear_results.hpp"

namespace kv {

class GLS : public LinearResults {
public:
    // `residuals`, `mse` and `r_squared` are those of the whitened regression.
    explicit GLS(std::optional<bool> fit_intercept) : LinearResults(fit_intercept) {}

    std::optional<Matrix> training_x;      // n × k
    std::optional<Matrix> training_sigma;  // n × n

    Status fit(MatView x, VecView y, MatView sigma);
    Result<Vector> predict(MatView x) const;
    bool is_fitted() const { return coefficients.has_value(); }
    Result<std::string> summary() const;
    std::string repr() const;

private:
    // Builds the whitened design from the training copies, once per fit.
    Status ensure_whitened_design() const;

    // Whitened design (n × p) and its condition number, built by the first summary after a
    // fit under `whitened_once_`; a fit replaces the flag, so the next summary rebuilds them.
    // A failed build is kept as `whitened_error_` and reported by every later summary.
    mutable std::optional<Matrix> whitened_design_;
    mutable std::optional<double> condition_number_;
    mutable std::optional<Error> whitened_error_;
    mutable std::unique_ptr<std::once_flag> whitened_once_ = std::make_unique<std::once_flag>();
};

}  // namespace kv
