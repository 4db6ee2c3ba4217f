// Instrumental variables for exactly identified models: β = (ZᵀX)⁻¹Zᵀy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"

namespace kv {

class IV {
public:
    explicit IV(std::optional<bool> fit_intercept) : fit_intercept(fit_intercept.value_or(true)) {}

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
    std::optional<Vector> t_statistics() const;
    std::optional<Vector> p_values() const;
    Result<std::optional<Matrix>> confidence_intervals(std::optional<double> alpha) const;
    Result<std::string> summary() const;

private:
    std::uint64_t df() const;  // n − p, the residual degrees of freedom of inference and the report
};

}  // namespace kv
