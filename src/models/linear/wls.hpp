// Weighted least squares by the √w transformation (no n × n weight matrix).
#pragma once

#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"
#include "models/fitted.hpp"
#include "models/rounds.hpp"

namespace kv {

class WLS : public LinearModel {
public:
    explicit WLS(std::optional<bool> fit_intercept) : LinearModel(fit_intercept) {}

    Status fit(MatView x, VecView y, VecView weights);
    // The steps of a fit over row chunks (see OLS).
    Result<std::optional<Solution>> solve_rounds(std::size_t q, std::size_t k, const rounds::GramRound& gram,
                                                 const rounds::FactorRound* factor) const;
    Status commit_rounds(std::size_t k, Solution sol, const rounds::ResidualRound& round);
    Result<VectorOut> predict(MatView x) const;
    Result<std::string> summary() const { return named_summary(nullptr); }
    // The report with the caller's names for the target and the rows (stats::ReportNames).
    Result<std::string> named_summary(const stats::ReportNames* names) const;
    std::string repr() const;

private:
    Status check_shapes(std::size_t n, std::size_t k, std::size_t ny, std::size_t nw) const;
};

}  // namespace kv
