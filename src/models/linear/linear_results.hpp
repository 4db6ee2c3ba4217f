// The fitted quantities every linear estimator (OLS, WLS, GLS, IV, TSLS) stores, absent until a
// fit succeeds. A plain record: each estimator adds its own slots and caches beside it.
#pragma once

#include <cstdint>
#include <optional>

#include "linalg/matrix.hpp"
#include "models/linear/stat_utils.hpp"

namespace kv {

struct LinearResults {
    explicit LinearResults(std::optional<bool> intercept_option) : fit_intercept(intercept_option.value_or(true)) {}

    const bool fit_intercept;
    std::optional<double> intercept;
    std::optional<double> mse;
    std::optional<double> r_squared;
    std::optional<std::uint64_t> n_samples;
    std::optional<std::uint64_t> n_features;
    std::optional<double> intercept_std_error;  // kept apart from the slopes' errors; read by the report
    std::optional<Vector> coefficients;         // slopes only, in the column order of the regressors
    std::optional<Vector> standard_errors;      // of the slopes
    std::optional<Vector> residuals;

    // Residual degrees of freedom of inference and the report: n − p, wrapping when unfitted.
    std::uint64_t df() const {
        return stats::residual_df(n_samples.value_or(0), n_features.value_or(0), fit_intercept);
    }
};

}  // namespace kv
