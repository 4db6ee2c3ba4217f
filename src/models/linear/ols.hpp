// Ordinary least squares with classical or HC0 standard errors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"
#include "models/linear/fit_utils.hpp"

namespace kv {

class OLS {
public:
    OLS(std::optional<bool> fit_intercept, std::optional<bool> robust)
        : fit_intercept(fit_intercept.value_or(true)), robust(robust.value_or(false)) {}

    const bool fit_intercept;
    const bool robust;

    std::optional<double> intercept;
    std::optional<double> mse;
    std::optional<double> r_squared;
    std::optional<std::uint64_t> n_samples;
    std::optional<std::uint64_t> n_features;
    std::optional<double> intercept_std_error;
    std::optional<Vector> coefficients;
    std::optional<Vector> standard_errors;
    std::optional<Vector> residuals;
    std::optional<Matrix> xtx_inverse;   // p × p, intercept first

    Status fit(MatView x, VecView y);
    Result<Vector> predict(MatView x) const;
    bool is_fitted() const { return coefficients.has_value(); }
    std::optional<Vector> get_standard_errors() const { return standard_errors; }
    std::optional<Vector> t_statistics() const;
    std::optional<Vector> p_values() const;
    Result<std::optional<Matrix>> confidence_intervals(std::optional<double> alpha) const;
    std::optional<Matrix> covariance_matrix();
    Result<std::string> summary() const;
    std::string repr() const;

private:
    std::uint64_t df() const;
    // [1 | x | y] of the last fit: its x columns are the kept training copy and its leading
    // p columns the design the summary's diagnostics read, so nothing is rebuilt.
    std::optional<DesignCopy> design_;
    std::optional<Matrix> covariance_cache_;
    mutable std::optional<double> condition_number_cache_;  // filled by the first summary after a fit
};

}  // namespace kv
