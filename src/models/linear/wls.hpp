// Weighted least squares by the √w transformation (no n × n weight matrix).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"

namespace kv {

class WLS {
public:
    explicit WLS(std::optional<bool> fit_intercept) : fit_intercept(fit_intercept.value_or(true)) {}

    const bool fit_intercept;
    std::optional<double> intercept;
    std::optional<double> mse;
    std::optional<double> r_squared;
    std::optional<std::uint64_t> n_samples;
    std::optional<std::uint64_t> n_features;
    std::optional<double> intercept_std_error;
    std::optional<Vector> coefficients;
    std::optional<Vector> standard_errors;
    std::optional<Vector> residuals;

    Status fit(MatView x, VecView y, VecView weights);
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
};

}  // namespace kv
