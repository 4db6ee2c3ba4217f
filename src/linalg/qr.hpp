// Householder QR of a tall column-major matrix and what the solvers take from it: products
// with Q, solves with R, R itself, and the numerical-rank rule that every estimator applies
// to the design it solves.
#pragma once

#include "linalg/matrix.hpp"

namespace kv {

// A design is rank-deficient to working precision when its column-scaled condition number (the
// ratio of the largest to the smallest singular value after every column is brought to unit
// length) exceeds 1 / rank_tolerance. Exactly collinear designs land above 4·10¹⁴ in floating
// point (rounding leaves a smallest singular value of a few ε·√n, not zero), while full-rank
// data sets such as NIST's Filip (5·10⁹) stay far below 10¹³: the cut sits between the two.
inline constexpr double rank_tolerance = 1e-13;

struct Householder {
    Matrix qr;   // n × p: R on and above the diagonal, the reflectors below
    Vector tau;  // p
};

// QR of `a` (n ≥ p, consumed); false when LAPACK refuses.
bool householder_qr(Matrix a, Householder& out);
// c ← Qᵀc (trans 'T') or Q·c (trans 'N') for an n × ncols column-major block.
bool apply_q(const Householder& h, char trans, double* c, std::size_t ncols = 1);
// R·x = b ('N') or Rᵀ·x = b ('T') in place, b a p-vector.
bool solve_r(const Householder& h, char trans, double* b);
// The p × p upper-triangular R, zeros below the diagonal.
Matrix r_factor(const Householder& h);

// The column-scaled condition number of a design from a p × p factor R of it with D = Q·R, Q
// orthonormal (R triangular, or QᵀD for any such Q): column j of R is multiplied by weight[j] when weights are given,
// and otherwise brought to unit length (the columns of R have the norms of the columns of
// D). Infinity when a column is zero or the singular values cannot be computed.
double scaled_condition(Matrix r, const Vector* weight = nullptr);
inline bool full_rank(double scaled_condition) { return scaled_condition <= 1.0 / rank_tolerance; }

}  // namespace kv
