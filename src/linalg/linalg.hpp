// Dense double-precision operations over LAPACK and CBLAS. Inputs are never modified:
// every LAPACK call works on a private column-major copy. Failures come back as a
// LinalgError value whose text rendering is part of some user-facing messages.
#pragma once

#include <optional>
#include <string>

#include "linalg/expected.hpp"
#include "linalg/matrix.hpp"

namespace kv {

enum class ShapeErrorKind { IncompatibleShape, IncompatibleLayout, RangeLimited, OutOfBounds, Unsupported, Overflow };

struct LinalgError {
    enum class Kind { NotSquare, Lapack, InvalidStride, MemoryNotCont, NotStandardShape, Shape };
    enum class LapackKind { InvalidValue, ComputationalFailure, InvalidShape };

    Kind kind = Kind::Lapack;
    LapackKind lapack = LapackKind::ComputationalFailure;
    std::int32_t code = 0;             // LAPACK return code
    std::int32_t rows = 0, cols = 0;   // NotSquare, NotStandardShape
    std::int64_t s0 = 0, s1 = 0;       // InvalidStride
    std::string obj;                   // NotStandardShape
    ShapeErrorKind shape = ShapeErrorKind::IncompatibleShape;

    static LinalgError not_square(std::size_t r, std::size_t c);
    static LinalgError lapack_info(std::int32_t info);
    static LinalgError lapack_invalid_shape();
    static LinalgError shape_error(ShapeErrorKind k);

    // Structure-style debug rendering, e.g. "Lapack(LapackComputationalFailure { return_code: 2 })".
    std::string render() const;
};

template <class T>
using LResult = Expected<T, LinalgError>;

// A⁻¹ by LU with partial pivoting (dgetrf + dgetri). An exactly zero pivot is the only singularity detected.
// With `rcond`, also the estimate of A's reciprocal 1-norm condition number (dgecon; 0 for non-finite A).
LResult<Matrix> inverse(const Matrix& a, double* rcond = nullptr);
// Lower-triangular L with A = L·Lᵀ (dpotrf 'L'); only the lower triangle of A is read; upper set to zero.
// Taken by value: a caller that moves A in factors it in its own storage.
LResult<Matrix> cholesky_lower(Matrix a);
// The reciprocal 1-norm condition estimate of a symmetric A from its lower Cholesky factor L (dpocon);
// 0 when LAPACK refuses.
double cholesky_reciprocal_condition(const Matrix& l, const Matrix& a);
// Triangular solves (dtrtrs, non-unit diagonal) with a matrix right-hand side, solved in the storage
// of b (moved in by callers that no longer need it).
LResult<Matrix> solve_lower(const Matrix& l, Matrix b);
// Lᵀ·x = b from the lower factor itself (dtrtrs 'L', 'T').
LResult<Matrix> solve_lower_transposed(const Matrix& l, const Matrix& b);
LResult<Vector> solve_lower(const Matrix& l, const Vector& b);
LResult<Vector> solve_lower_transposed(const Matrix& l, const Vector& b);

struct LeastSquares {
    Matrix solution;                 // n × k
    Vector singular_values;          // min(m, n), descending
    std::int32_t rank = 0;
    std::optional<Vector> residual_sum_of_squares;  // per column; only when m ≥ n and rank = n
};
// Minimum-norm least squares by SVD (dgelsd). Singular values at or below rcond·σ_max count as
// zero; a negative rcond (the default) means machine precision.
LResult<LeastSquares> least_squares(const Matrix& a, const Matrix& b, double rcond = -1.0);
LResult<LeastSquares> least_squares(const Matrix& a, const Vector& b);

// Products. Inner dimensions must agree (caller's precondition).
Matrix matmul(const MatView& a, const MatView& b);
Vector matvec(const MatView& a, const double* v);
double dot(const double* u, const double* v, std::size_t n);
// AᵀA (lower and upper triangles filled) of a column-major n × p matrix, by dsyrk.
Matrix gram(const Matrix& a);
// The same for a view stored column- or row-major (other layouts are copied first).
Matrix gram(const MatView& a);
// y ← alpha·A·v + beta·y for a view in any layout (y is not read when beta is 0).
void gemv_update(const MatView& a, const double* v, double alpha, double beta, double* y);

}  // namespace kv
