// Generalised least squares with a full error covariance Σ, by Cholesky whitening.
#pragma once

#include <cstdint>
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
    // Whitened design and its condition number, built by the first summary after a fit.
    mutable std::optional<Matrix> whitened_design_;
    mutable std::optional<double> condition_number_;
};

}  // namespace kv
