// Ordinary least squares with classical or HC0 standard errors.
#pragma once

#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"
#include "models/fitted.hpp"

namespace kv {

class OLS : public LinearModel {
public:
    OLS(std::optional<bool> fit_intercept, std::optional<bool> robust)
        : LinearModel(fit_intercept), robust(robust.value_or(false)) {}

    const bool robust;

    Status fit(MatView x, VecView y);
    Result<VectorOut> predict(MatView x) const;
    Result<std::string> summary() const { return named_summary(nullptr); }
    // The report with the caller's names for the target and the rows (stats::ReportNames).
    Result<std::string> named_summary(const stats::ReportNames* names) const;
    std::string repr() const;
};

}  // namespace kv
