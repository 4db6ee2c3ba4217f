// The shared least-squares step of every estimator. A class builds the problem it solves (its
// design after the intercept column, weights, whitening, within transformation or projection)
// and states its route policy as data: when the normal equations run, whether an LU inverse or
// the SVD takes over, and the message of each failure. `solve` runs the routes, applies the rank
// rule on each, and returns the estimate with the design's (DᵀD)⁻¹ and triangular factor.
#pragma once

#include <cstddef>
#include <functional>
#include <limits>

#include "linalg/matrix.hpp"
#include "linalg/normal_equations.hpp"
#include "models/error.hpp"

namespace kv {

struct RoutePolicy {
    // The normal equations run when n > normal_above·(route size) and p < normal_max_p; otherwise
    // an LU inverse of DᵀD when n > lu_above·(route size) (lu_above = 0: never), else the SVD.
    std::size_t normal_above;
    std::size_t normal_max_p = std::numeric_limits<std::size_t>::max();
    std::size_t lu_above = 0;
    // A normal-equation failure other than rank deficiency hands over to the SVD route.
    bool svd_after_failed_normal = false;
    ErrorKind kind = ErrorKind::Runtime;
    const char* singular;          // rank-deficient design, normal-equation and LU routes
    const char* singular_svd;      // rank-deficient design, SVD route
    const char* svd_failed;        // the SVD failed; a message ending in ": " takes LAPACK's rendering
    const char* forward_solve = "";
    const char* back_solve = "";
    const char* inverse_forward = "";
    const char* inverse_back = "";
};

// The problem as a class hands it over. The design and target are read on every route that
// factors them; the Gram matrix and cross product are formed here unless the class already has
// them from its own pass over the data. A class that streams its data passes those products and
// `materialise`, which fills in `design` and `target` only when a route needs them.
struct Problem {
    std::size_t rows = 0, cols = 0;       // n and p
    MatView design;                       // n × p, or empty until materialised
    VecView target;                       // n
    const Matrix* gram = nullptr;         // DᵀD, p × p
    const Matrix* cross = nullptr;        // Dᵀy, p × 1
    std::size_t route_size = 0;           // what n is compared with (p, or G + k for FE); 0 means p
    std::size_t route_rows = 0;           // n, when the design is given in a compressed form; 0: its rows
    const ExactData* exact = nullptr;     // the exact values behind a rounded design (FE)
    const Vector* rank_norms = nullptr;   // column lengths the rank rule judges against (FE)
    std::function<void(Problem&)> materialise;

    Problem(MatView d, VecView y) : rows(d.rows), cols(d.cols), design(d), target(y) {}
    Problem(std::size_t n, std::size_t p, const Matrix& dtd, const Matrix& dty, std::function<void(Problem&)> make)
        : rows(n), cols(p), gram(&dtd), cross(&dty), materialise(std::move(make)) {}
};

// The wording OLS and FE give the failures of their routes.
inline constexpr RoutePolicy matrix_routes{
    .normal_above = 2,
    .normal_max_p = 1000,
    .singular = "Matrix is singular",
    .singular_svd = "Cannot compute standard errors: matrix is singular",
    .svd_failed = "SVD failed: ",
    .forward_solve = "Cholesky forward solve failed",
    .back_solve = "Cholesky back solve failed",
    .inverse_forward = "Failed to compute triangular solve for matrix inverse",
    .inverse_back = "Failed to compute matrix inverse from Cholesky",
};

// DᵀD (p × p) and Dᵀy (p × 1) read out of the Gram matrix of [D | y].
struct GramBlocks {
    Matrix dtd, dty;
    GramBlocks(const Matrix& gram, std::size_t p);
};

struct Solution {
    Vector beta;   // p
    Matrix bread;  // (DᵀD)⁻¹, p × p
    Matrix r;      // p × p triangular factor of the design, for its column-scaled condition number
};

Result<Solution> solve(Problem problem, const RoutePolicy& policy);

}  // namespace kv
