// Covariance estimators as bread × meat, in the manner of linearmodels: every estimator of the
// coefficients' covariance is A⁻¹·M·A⁻¹ with the bread A⁻¹ = (DᵀD)⁻¹ of the design the class
// solved (for IV and TSLS, (X̂ᵀX̂)⁻¹), and they differ only in the meat M. One function turns a
// covariance into standard errors.
#pragma once


#include "linalg/matrix.hpp"
#include "linalg/stream.hpp"

namespace kv {

// A⁻¹·M·A⁻¹ for any meat M.
Matrix sandwich(const Matrix& bread, const Matrix& meat);

// σ²·A⁻¹: the meat σ²·DᵀD under homoskedastic errors.
Matrix classical_covariance(const Matrix& bread, double sigma2);
// A⁻¹(Dᵀdiag(e²)D)A⁻¹ (White's HC0) from its meat Dᵀdiag(e²)D, which the residual pass forms
// block by block (streamed_residuals), so no scaled n × p copy of the design is made.
inline Matrix hc0_covariance(const Matrix& meat, const Matrix& bread) { return sandwich(bread, meat); }
// A⁻¹(Σ_g s_g s_gᵀ)A⁻¹ from the G × p table of cluster scores s_g = Σ_{i in g} eᵢ·Dᵢ (each summed in
// row order), the outer products added in ascending cluster order. No small-sample factor.
Matrix clustered_covariance(const Matrix& scores, const Matrix& bread);


// √ of the diagonal: a NaN variance stays NaN, a negative one (rounding) gives 0.
Vector standard_errors_of(const Matrix& covariance);

}  // namespace kv
