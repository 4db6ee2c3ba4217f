// Generalised least squares with a full error covariance Σ, by Cholesky whitening.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"

namespace kv {

class GLS {
public:
    explicit GLS(std::optional<bool> fit_intercept) : fit_intercept(fit_intercept.value_or(true)) {}

    const bool fit_intercept;
    std::optional<double> intercept;
    std::optional<double> mse;
    std::optional<double> r_squared;
    std::optional<std::uint64_t> n_samples;
    std::optional<std::uint64_t> n_features;
    std::optional<double> intercept_std_error;
    std::optional<Vector> coefficients;
    std::optional<Vector> standard_errors;
    std::optional<Vector> residuals;   // whitened
    std::optional<Matrix> training_x;      // n × k
    std::optional<Matrix> training_sigma;  // n × n

    Status fit(MatView x, VecView y, MatView sigma);
    Result<Vector> predict(MatView x) const;
    bool is_fitted() const { return coefficients.has_value(); }
    std::optional<Vector> get_standard_errors() const { return standard_errors; }
    std::optional<Vector> t_statistics() const;
    std::optional<Vector> p_values() const;
    Result<std::optional<Matrix>> confidence_intervals(std::optional<double> alpha) const;
    Result<std::string> summary() const;
    std::string repr() const;

private:
    std::uint64_t df() const;
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
