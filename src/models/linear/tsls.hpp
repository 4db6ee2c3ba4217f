// Two-stage least squares for models with at least as many instruments as regressors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"

namespace kv {

class TSLS {
public:
    explicit TSLS(std::optional<bool> fit_intercept) : fit_intercept(fit_intercept.value_or(true)) {}

    const bool fit_intercept;
    bool fitted_flag = false;
    std::optional<double> intercept;
    std::optional<double> mse;
    std::optional<double> r_squared;
    std::optional<std::uint64_t> n_samples;
    std::optional<std::uint64_t> n_features;
    std::optional<double> intercept_std_error;
    std::optional<Vector> coefficients;
    std::optional<Vector> standard_errors;
    std::optional<Vector> residuals;
    std::optional<Matrix> covariance_matrix;  // p × p, intercept first

    Status fit(MatView instruments, MatView regressors, VecView targets);
    Result<Vector> predict(MatView regressors) const;
    bool is_fitted() const { return fitted_flag; }
    std::optional<Vector> get_standard_errors() const { return standard_errors; }
    Result<std::string> summary() const;
};

}  // namespace kv
