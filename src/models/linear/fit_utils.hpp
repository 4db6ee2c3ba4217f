// Small numerical steps that several estimators share: input checks, building a design
// with an intercept column, residuals, R², standard errors and predictions.
#pragma once

#include <optional>

#include "linalg/matrix.hpp"
#include "models/error.hpp"

namespace kv {

bool all_finite(const MatView& x);
bool all_finite(const VecView& v);

// ValueError when a dimension is beyond what 32-bit LAPACK/BLAS integers can address.
Status check_lapack_limits(std::size_t rows, std::size_t cols);

// n × p column-major design: a column of ones first when `intercept`, then x.
Matrix build_design(const MatView& x, bool intercept);

// An owned copy of [1 | x | y] (n × (p + 1)), made in one pass. It is stored row-major when x
// is C-ordered (so the copy is a plain row copy) unless `column_major` asks otherwise, and
// column-major otherwise; one symmetric product of it gives DᵀD, Dᵀy and yᵀy at once.
struct DesignCopy {
    Matrix storage;
    MatView full;  // n × (p + 1)
    MatView design() const { return {full.data, full.rows, full.cols - 1, full.rs, full.cs}; }
    VecView target() const {
        return {full.data + static_cast<std::ptrdiff_t>(full.cols - 1) * full.cs, full.rows, full.rs};
    }
    // The x columns alone (the kept training copy).
    MatView x(bool intercept) const {
        const std::ptrdiff_t off = intercept ? full.cs : 0;
        return {full.data + off, full.rows, full.cols - 1 - (intercept ? 1 : 0), full.rs, full.cs};
    }
};
void copy_design_and_target(const MatView& x, const VecView& y, bool intercept, DesignCopy& out,
                            bool column_major = false);

// A NaN or infinity anywhere in a column makes that column's sum of squares non-finite, so a
// Gram matrix with a finite diagonal proves its data finite; only a non-finite diagonal (bad
// data, or squares that overflow) calls for the element-by-element scan.
bool diagonal_finite(const Matrix& gram);
// Whether a Gram diagonal left double range: a non-finite sum of squares, or one below 2⁻⁹⁰⁰·n
// where products of the column have lost digits to underflow. Only then are columns rescaled.
bool gram_out_of_range(const Matrix& gram, std::size_t n);
// Per column of m, the power of two that brings its largest magnitude into [½, 1) (1 for a zero
// or non-finite column). Scaling by them is exact, so ordinary data would not change at all.
Vector max_abs_scales(const MatView& m);
// Multiplies column j of the copy by c[j] in place.
void scale_columns(DesignCopy& copy, const Vector& c);

// y − D·β.
Vector residuals_of(const Matrix& design, const Vector& beta, const Vector& y);

// 1 − Σwᵢeᵢ²/Σwᵢ(yᵢ − ȳ)² around the (weighted) mean ȳ, with every wᵢ = 1 when `w` is null; 0 when
// the target is constant up to rounding, TSS ≤ Σwᵢ·(4ε·max|yᵢ|)², a test relative to the target's
// own scale. Both sums are taken on e and y scaled by one power of two, so neither overflows nor
// underflows where R² itself is finite.
double centred_r_squared(const VecView& e, const VecView& y, const double* w = nullptr);
inline double centred_r_squared(const Vector& e, const VecView& y, const double* w = nullptr) {
    return centred_r_squared(view_of(e), y, w);
}
inline double centred_r_squared(const Vector& e, const Vector& y, const double* w = nullptr) {
    return centred_r_squared(view_of(e), view_of(y), w);
}
// Clamped to [−1, 1]; a NaN stays NaN.
double clamp_r_squared(double r2);

// √(V_jj · mse); a negative product gives NaN.
Vector classical_standard_errors(const Matrix& v, double mse);
// HC0 sandwich V·(Dᵀ diag(e²) D)·V; a negative variance gives 0, a NaN one stays NaN.
Vector hc0_standard_errors(const MatView& design, const Vector& e, const Matrix& v);
inline Vector hc0_standard_errors(const Matrix& design, const Vector& e, const Matrix& v) {
    return hc0_standard_errors(design.view(), e, v);
}
// y − D·β for a design view in any layout.
Vector residuals_of(const MatView& design, const Vector& beta, const VecView& y);
// √ of a sandwich diagonal with the same rule.
Vector sandwich_standard_errors(const Matrix& h);

// x·β (+ intercept).
Vector linear_prediction(const MatView& x, const Vector& beta, const std::optional<double>& intercept);

Matrix scaled(const Matrix& m, double s);

// The classical covariance mse·(DᵀD)⁻¹, filled into `cache` once per fit; nothing while either
// input is absent (and then the cache stays empty).
std::optional<Matrix> cached_covariance(std::optional<Matrix>& cache, const std::optional<Matrix>& xtx_inverse,
                                        const std::optional<double>& mse);

}  // namespace kv
