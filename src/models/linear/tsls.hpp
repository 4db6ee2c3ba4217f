// Two-stage least squares for models with at least as many instruments as regressors.
#pragma once

#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"
#include "models/fitted.hpp"

namespace kv {

class TSLS : public LinearModel {
public:
    explicit TSLS(std::optional<bool> fit_intercept) : LinearModel(fit_intercept) {}


    Status fit(MatView instruments, MatView regressors, VecView targets);
    Result<VectorOut> predict(MatView regressors) const;
    Result<std::string> summary() const { return named_summary(nullptr); }
    // The report with the caller's names for the target and the rows (stats::ReportNames).
    Result<std::string> named_summary(const stats::ReportNames* names) const;
};

}  // namespace kv
