// Small numerical steps that several estimators share: input checks, building a design with an
// intercept column (and a copy of [1 | x | y] for the routes that need one), rescaling of data
// near the ends of double range, residuals and R².
#pragma once

#include <initializer_list>
#include <optional>

#include "linalg/matrix.hpp"
#include "models/error.hpp"

namespace kv {

bool all_finite(const MatView& x);
bool all_finite(const VecView& v);

// A failure worded as a singular design (one of `singular`) becomes ValueError "Input contains NaN or
// infinite values" when any of `data` holds a NaN or ±∞: those values, not collinearity, made the
// design look singular. Other failures, and failures on finite data, are returned unchanged.
Error non_finite_or(Error failure, std::initializer_list<const char*> singular, std::initializer_list<MatView> data);
inline MatView column_of(const VecView& v) { return {v.data, v.size, 1, v.stride, 0}; }

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
};
void copy_design_and_target(const MatView& x, const VecView& y, bool intercept, DesignCopy& out,
                            bool column_major = false);

// Whether a Gram diagonal left double range: a non-finite sum of squares, or one below 2⁻⁹⁰⁰·n
// where products of the column have lost digits to underflow. Only then are columns rescaled.
bool gram_out_of_range(const Matrix& gram, std::size_t n);
// Per column of m, the power of two that brings its largest magnitude into [½, 1) (1 for a zero
// or non-finite column). Scaling by them is exact, so ordinary data would not change at all.
Vector max_abs_scales(const MatView& m);
// The same from each column's largest magnitude.
Vector scales_of_largest(Vector largest);
// Multiplies column j of the copy by c[j] in place.
void scale_columns(DesignCopy& copy, const Vector& c);


// 1 − Σwᵢeᵢ²/Σwᵢ(yᵢ − ȳ)² around the (weighted) mean ȳ, with every wᵢ = 1 when `w` is null; 0 when
// the target is constant up to rounding, TSS ≤ Σwᵢ·(4ε·max|yᵢ|)², a test relative to the target's
// own scale. The sums are taken on e and y scaled by one power of two, so none overflows or
// underflows where R² itself is finite; `ssr`, when given, receives the unweighted Σeᵢ² from the
// same pass.
double centred_r_squared(const VecView& e, const VecView& y, const double* w = nullptr, double* ssr = nullptr);
inline double centred_r_squared(const Vector& e, const VecView& y, const double* w = nullptr,
                                double* ssr = nullptr) {
    return centred_r_squared(view_of(e), y, w, ssr);
}
inline double centred_r_squared(const Vector& e, const Vector& y, const double* w = nullptr, double* ssr = nullptr) {
    return centred_r_squared(view_of(e), view_of(y), w, ssr);
}
// The unweighted centred_r_squared gathered block by block while the residuals are formed, from
// the target's sum and largest magnitude (known from the Gram pass): the same sums in the same
// order, so the same R² and SSR.
class RSquaredSums {
public:
    RSquaredSums(double sum_y, double largest_y, std::size_t n);
    // Weighted by wᵢ·c² (the weights read from `w`), from Σwᵢc², Σwᵢc²·yᵢ and max|yᵢ|; as the
    // weighted centred_r_squared.
    RSquaredSums(double weight_sum, double weighted_sum, double largest_y, const VecView& w, double c);
    void add(const double* e, const VecView& y, std::size_t i0, std::size_t m);
    // R², and Σeᵢ² and Σwᵢc²·eᵢ² when asked for.
    double r_squared(double* ssr, double* wssr = nullptr) const;

private:
    double sum_w_, ymax_, s_ = 1.0, mean_ = 0.0, plain_ = 0.0, weighted_ = 0.0, tss_ = 0.0, correction_ = 0.0;
    const VecView* w_ = nullptr;
    double c_ = 1.0;
};
// Clamped to [−1, 1]; a NaN stays NaN.
double clamp_r_squared(double r2);

// y − D·β for a design view in any layout.
Vector residuals_of(const MatView& design, const Vector& beta, const VecView& y);

}  // namespace kv
