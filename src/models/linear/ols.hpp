// Ordinary least squares with classical or HC0 standard errors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"
#include "models/linear/linear_results.hpp"
#include "models/linear/fit_utils.hpp"

namespace kv {

class OLS : public LinearResults {
public:
    OLS(std::optional<bool> fit_intercept, std::optional<bool> robust)
        : LinearResults(fit_intercept), robust(robust.value_or(false)) {}

    const bool robust;

    std::optional<Matrix> xtx_inverse;   // p × p, intercept first

    Status fit(MatView x, VecView y);
    Result<Vector> predict(MatView x) const;
    bool is_fitted() const { return coefficients.has_value(); }
    std::optional<Matrix> covariance_matrix();
    Result<std::string> summary() const;
    std::string repr() const;

private:
    // [1 | x | y] of the last fit: its x columns are the kept training copy and its leading
    // p columns the design the summary's diagnostics read, so nothing is rebuilt.
    std::optional<DesignCopy> design_;
    std::optional<Matrix> covariance_cache_;
    mutable std::optional<double> condition_number_cache_;  // filled by the first summary after a fit
};

}  // namespace kv
