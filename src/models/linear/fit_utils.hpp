// Small numerical steps that several estimators share: input checks, building a design
// with an intercept column, residuals, R², standard errors and predictions.
#pragma once

#include <optional>

#include "linalg/matrix.hpp"
#include "models/error.hpp"

namespace kv {

inline constexpr double r_squared_guard = 2.220446049250313e-16;

bool all_finite(const MatView& x);
bool all_finite(const VecView& v);

// ValueError when a dimension is beyond what 32-bit LAPACK/BLAS integers can address.
Status check_lapack_limits(std::size_t rows, std::size_t cols);

// n × p column-major design: a column of ones first when `intercept`, then x.
Matrix build_design(const MatView& x, bool intercept);

// y − D·β.
Vector residuals_of(const Matrix& design, const Vector& beta, const Vector& y);

// 1 − SSR/TSS around the mean of y, or 0 when |TSS| is below the guard.
double centred_r_squared(double ssr, const Vector& y);
// Clamped to [−1, 1]; a NaN stays NaN.
double clamp_r_squared(double r2);

// √(V_jj · mse); a negative product gives NaN.
Vector classical_standard_errors(const Matrix& v, double mse);
// HC0 sandwich V·(Dᵀ diag(e²) D)·V; a negative variance gives 0, a NaN one stays NaN.
Vector hc0_standard_errors(const Matrix& design, const Vector& e, const Matrix& v);
// √ of a sandwich diagonal with the same rule.
Vector sandwich_standard_errors(const Matrix& h);

// x·β (+ intercept).
Vector linear_prediction(const MatView& x, const Vector& beta, const std::optional<double>& intercept);

Matrix scaled(const Matrix& m, double s);

}  // namespace kv
