// Least squares through the normal equations, shared by every estimator's fast route.
// The Gram matrix DᵀD is factored by Cholesky; its solution and the unscaled covariance
// (DᵀD)⁻¹ come from the same factor.
#pragma once

#include <optional>

#include "linalg/expected.hpp"
#include "linalg/linalg.hpp"
#include "linalg/matrix.hpp"

namespace kv {

struct NormalSolution {
    Matrix beta;          // p × r, one column per right-hand side
    Matrix xtx_inverse;   // p × p, (DᵀD)⁻¹
    Matrix r;             // p × p upper triangular with D·S = Q·R for some diagonal S: the design's
                          // column-scaled singular values are those of R with unit columns
};

// Which step failed; each estimator words its own message. RankDeficient: the design is
// rank-deficient to working precision (see rank_tolerance); Factor: no factor of it could be formed.
enum class NormalStep { Factor, RankDeficient, ForwardSolve, BackSolve, InverseForward, InverseBack };

// The exact values behind a design and right-hand side that were rounded when they were formed
// (the within transformation rounds x − mean). The guarded route refines against them, so its
// answer is that of the exact problem rather than of the rounded one.
class ExactData {
public:
    virtual ~ExactData() = default;
    virtual long double design(std::size_t i, std::size_t j) const = 0;
    virtual long double target(std::size_t i, std::size_t c) const = 0;
};

// design: n × p; rhs: n × r (any layout); gram: DᵀD (p × p); cross: Dᵀ·rhs (p × r).
// The design and right-hand sides are read only on the guarded route. `rank_norms`, when given,
// are the lengths the rank rule scales the columns by instead of their own (the within
// transformation judges its demeaned columns against the raw ones).
Expected<NormalSolution, NormalStep> solve_normal_equations(const MatView& design, const MatView& rhs,
                                                            const Matrix& gram, const Matrix& cross,
                                                            const ExactData* exact = nullptr,
                                                            const Vector* rank_norms = nullptr);

// The fast route alone, which needs no design: the solution when the scaled DᵀD is well-conditioned
// (and the columns of full rank against `rank_norms`), and nothing when the design itself is needed.
std::optional<NormalSolution> solve_well_conditioned(const Matrix& gram, const Matrix& cross,
                                                     const Vector* rank_norms = nullptr);

// The rank rule alone, for a route that solves by other means (an LU inverse of DᵀD): the
// triangular factor R of the design (as in NormalSolution), or RankDeficient.
Expected<Matrix, NormalStep> rank_factor(const MatView& design, const Matrix& gram);

// Least squares by SVD (dgelsd) of the design with its columns brought to unit length (or
// divided by `rank_norms`); the rank rule reads the singular values of that scaled design, and
// (DᵀD)⁻¹ comes from its R factor, never from inverting DᵀD.
struct SvdFailure {
    bool rank_deficient = false;
    LinalgError error;  // when LAPACK failed
};
Expected<NormalSolution, SvdFailure> solve_by_svd(const MatView& design, const MatView& rhs,
                                                  const Vector* rank_norms = nullptr);
inline Expected<NormalSolution, SvdFailure> solve_by_svd(const Matrix& design, const Vector& rhs) {
    return solve_by_svd(design.view(), MatView{rhs.data(), rhs.size(), 1, 1, static_cast<std::ptrdiff_t>(rhs.size())});
}
inline Expected<NormalSolution, NormalStep> solve_normal_equations(const Matrix& design, const Matrix& rhs,
                                                                   const Matrix& gram, const Matrix& cross) {
    return solve_normal_equations(design.view(), rhs.view(), gram, cross);
}

}  // namespace kv
