// Least squares through the normal equations, shared by every estimator's fast route.
// The Gram matrix DᵀD is factored by Cholesky; its solution and the unscaled covariance
// (DᵀD)⁻¹ come from the same factor.
#pragma once

#include "linalg/expected.hpp"
#include "linalg/matrix.hpp"

namespace kv {

struct NormalSolution {
    Matrix beta;          // p × r, one column per right-hand side
    Matrix xtx_inverse;   // p × p, (DᵀD)⁻¹
    bool guarded = false; // solved by the orthogonal route because DᵀD was too ill-conditioned
};

// Which step failed; each estimator words its own message.
enum class NormalStep { Factor, ForwardSolve, BackSolve, InverseForward, InverseBack };

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
// The design and right-hand sides are read only on the guarded route.
Expected<NormalSolution, NormalStep> solve_normal_equations(const MatView& design, const MatView& rhs,
                                                            const Matrix& gram, const Matrix& cross,
                                                            const ExactData* exact = nullptr);
inline Expected<NormalSolution, NormalStep> solve_normal_equations(const Matrix& design, const Matrix& rhs,
                                                                   const Matrix& gram, const Matrix& cross) {
    return solve_normal_equations(design.view(), rhs.view(), gram, cross);
}

}  // namespace kv
