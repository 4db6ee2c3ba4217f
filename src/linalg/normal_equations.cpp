// Cholesky normal equations: L·Lᵀ = DᵀD, then L z = Dᵀy, Lᵀ β = z, and (DᵀD)⁻¹ from L W = I, Lᵀ V = W.
#include "linalg/normal_equations.hpp"

#include "linalg/linalg.hpp"

namespace kv {

Expected<NormalSolution, NormalStep> solve_normal_equations(const Matrix& design, const Matrix& rhs,
                                                            const Matrix& gram, const Matrix& cross) {
    (void)design;
    (void)rhs;
    auto l = cholesky_lower(gram);
    if (!l) return fail(NormalStep::Factor);
    auto z = solve_lower(*l, cross);
    if (!z) return fail(NormalStep::ForwardSolve);
    auto beta = solve_lower_transposed(*l, *z);
    if (!beta) return fail(NormalStep::BackSolve);
    auto w = solve_lower(*l, Matrix::identity(gram.rows()));
    if (!w) return fail(NormalStep::InverseForward);
    auto v = solve_lower_transposed(*l, *w);
    if (!v) return fail(NormalStep::InverseBack);
    return NormalSolution{std::move(*beta), std::move(*v), false};
}

}  // namespace kv
