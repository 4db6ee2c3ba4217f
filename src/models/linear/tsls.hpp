// Two-stage least squares for models with at least as many instruments as regressors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"
#include "models/linear/linear_results.hpp"

namespace kv {

class TSLS : public LinearResults {
public:
    explicit TSLS(std::optional<bool> fit_intercept) : LinearResults(fit_intercept) {}

    bool fitted_flag = false;
    std::optional<Matrix> covariance_matrix;  // p × p, intercept first

    Status fit(MatView instruments, MatView regressors, VecView targets);
    Result<Vector> predict(MatView regressors) const;
    bool is_fitted() const { return fitted_flag; }
    Result<std::string> summary() const;
};

}  // namespace kv
