// Inference read from an estimator's fitted coefficients and standard errors, written once for
// every class. A class supplies `coefficients()`, `standard_errors()` and its residual degrees of
// freedom `df()`; the method tables bind these templates directly.
#pragma once

#include <optional>

#include "linalg/matrix.hpp"
#include "models/error.hpp"
#include "models/linear/stat_utils.hpp"

namespace kv::inference {

template <class M>
bool is_fitted(const M& m) {
    return m.is_fitted();
}

template <class M>
std::optional<Matrix> covariance_matrix(const M& m) {
    return m.covariance_matrix();
}

template <class M>
std::optional<Vector> standard_errors(const M& m) {
    return m.standard_errors();
}

template <class M>
std::optional<Vector> t_statistics(const M& m) {
    return stats::t_statistics(m.coefficients(), m.standard_errors());
}

template <class M>
std::optional<Vector> p_values(const M& m) {
    return stats::p_values(m.coefficients(), m.standard_errors(), m.df());
}

template <class M>
Result<std::optional<Matrix>> confidence_intervals(const M& m, std::optional<double> alpha) {
    return stats::confidence_intervals(m.coefficients(), m.standard_errors(), m.df(), alpha);
}

// The report fields every class fills from the same slots (FE has no intercept).
template <class M>
stats::ReportInput report_input(const M& m) {
    stats::ReportInput in;
    in.r_squared = m.r_squared();
    in.mse = m.mse();
    if constexpr (requires { m.fit_intercept; }) {
        in.intercept = m.intercept();
        in.intercept_std_error = m.intercept_std_error();
        in.fit_intercept = m.fit_intercept;
    }
    in.coefficients = m.coefficients();
    in.standard_errors = m.standard_errors();
    in.n_samples = m.n_samples().value_or(0);
    in.n_features = m.n_features().value_or(0);
    return in;
}

}  // namespace kv::inference
