// Instrumental variables for exactly identified models: β = (ZᵀX)⁻¹Zᵀy.
#pragma once

#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"
#include "models/fitted.hpp"
#include "models/rounds.hpp"

namespace kv {

class IV : public LinearModel {
public:
    explicit IV(std::optional<bool> fit_intercept) : LinearModel(fit_intercept) {}


    Status fit(MatView instruments, MatView regressors, VecView targets);
    // The steps of a fit over row chunks (see OLS); the Gram and factor rounds are of [1 | Z | X | y].
    Result<std::optional<Solution>> solve_rounds(std::size_t q, std::size_t k, const rounds::GramRound& gram,
                                                 const rounds::FactorRound* factor) const;
    Status commit_rounds(std::size_t k, Solution sol, const rounds::ResidualRound& round);
    Result<VectorOut> predict(MatView regressors) const;
    Result<std::string> summary() const { return named_summary(nullptr); }
    // The report with the caller's names for the target and the rows (stats::ReportNames).
    Result<std::string> named_summary(const stats::ReportNames* names) const;

private:
    Status check_shapes(std::size_t n, std::size_t ny, std::size_t nx, std::size_t q, std::size_t k) const;
};

}  // namespace kv
