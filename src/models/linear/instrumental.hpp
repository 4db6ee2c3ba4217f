// The estimator IV and TSLS share. With W the instruments (a column of ones first with an
// intercept), X₁ the regressors (likewise) and Q an orthonormal basis of W's column space,
// X̂₁ = Q(QᵀX₁) and the second stage min ‖X̂₁β − y‖ is min ‖(QᵀX₁)β − Qᵀy‖: it is solved on the
// r × p matrix QᵀX₁ by the shared step, whose (MᵀM)⁻¹ is (X̂₁ᵀX̂₁)⁻¹. For exactly identified
// data this is IV's (ZᵀX)⁻¹Zᵀy with the sandwich (ZᵀX)⁻¹ZᵀZ(XᵀZ)⁻¹ as its bread. Residuals are
// structural, y − X₁β, with the regressors themselves.
#pragma once

#include <cstdint>
#include <functional>

#include "linalg/matrix.hpp"
#include "models/error.hpp"
#include "models/fitted.hpp"
#include "models/rounds.hpp"
#include "models/solve.hpp"

namespace kv {

struct InstrumentalText {
    const char* singular_instruments;  // the instruments are rank-deficient; null accepts them
    const char* projection_failed;     // no basis of the instruments could be computed
    const char* no_degrees_of_freedom; // n = p
    RoutePolicy second_stage;
};

// Fits y on X (k columns) with instruments Z (q columns); the fitted record or the class's error.
Result<LinearFit> fit_instrumental(const MatView& instruments, const MatView& regressors, const VecView& targets,
                                   bool intercept, const InstrumentalText& text);

// The same estimator over row chunks. The projection Qᵀ[X₁ | y] comes from the merged Gram matrix of
// [1 | Z | X | y] when its Cholesky basis is well-conditioned, and otherwise from the R factor of
// [1 | Z | X | y] (instruments first), whose block beside the instruments' own factor is that
// projection (nullopt asks for the factor round). The second stage is fit's own.
// `check` is the class's shape check (n, the targets' rows, the regressors' rows, q, k), run on the rounds' counts.
using InstrumentalShapes = std::function<Status(std::size_t, std::size_t, std::size_t, std::size_t, std::size_t)>;
Result<std::optional<Solution>> solve_instrumental_rounds(std::size_t q, std::size_t k, bool intercept,
                                                          const rounds::GramRound& gram,
                                                          const rounds::FactorRound* factor,
                                                          const InstrumentalText& text,
                                                          const InstrumentalShapes& check);
// The record from the solution and the residual round of the structural residuals y − X₁β.
Result<LinearFit> finish_instrumental_rounds(std::size_t k, bool intercept, Solution sol,
                                             const rounds::ResidualRound& round, const InstrumentalText& text);

}  // namespace kv
