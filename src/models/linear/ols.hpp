// Ordinary least squares with classical or HC0 standard errors.
#pragma once

#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"
#include "models/fitted.hpp"
#include "models/rounds.hpp"

namespace kv {

class OLS : public LinearModel {
public:
    OLS(std::optional<bool> fit_intercept, std::optional<bool> robust)
        : LinearModel(fit_intercept), robust(robust.value_or(false)) {}

    const bool robust;

    Status fit(MatView x, VecView y);
    // The steps of a fit over row chunks, around its rounds: fit's shape checks and solve on the merged
    // Gram (nullopt: a route needs the design, run the factor round and solve again), and the commit
    // from the residual round.
    // With `scales`, the rounds were taken on [1 | x | y] scaled column by column (data whose squares left
    // double range), and the commit scales the results back.
    Result<std::optional<Solution>> solve_rounds(std::size_t q, std::size_t k, const rounds::GramRound& gram,
                                                 const rounds::FactorRound* factor, const Vector* scales = nullptr) const;
    Status commit_rounds(std::size_t k, Solution sol, const rounds::ResidualRound& round,
                         const Vector* scales = nullptr);
    Result<VectorOut> predict(MatView x) const;
    Result<std::string> summary() const { return named_summary(nullptr); }
    // The report with the caller's names for the target and the rows (stats::ReportNames).
    Result<std::string> named_summary(const stats::ReportNames* names) const;
    std::string repr() const;

private:
    Status check_shapes(std::size_t n, std::size_t k, std::size_t ny) const;
};

}  // namespace kv
