// Singular values of a dense matrix without singular vectors: a QR factorisation of the
// tall matrix first (dgeqrf), then the divide-and-conquer SVD (dgesdd, jobz = 'N') of the
// small triangular factor R, whose singular values are those of the matrix.
#pragma once

#include "linalg/linalg.hpp"

namespace kv {

// The min(rows, cols) singular values of `a`, descending. `a` is consumed as scratch.
// Fails with the LAPACK code when the SVD does not converge or a size exceeds LAPACK's integers.
LResult<Vector> singular_values(Matrix a);

// An orthonormal basis of the column space of `a` (m × n, consumed), m × r: the left singular
// vectors (dgesdd, jobz = 'S') whose singular values exceed tol·σ_max.
LResult<Matrix> column_space_basis(Matrix a, double tol);

}  // namespace kv
