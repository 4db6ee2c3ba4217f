// Weighted least squares by the √w transformation (no n × n weight matrix).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"
#include "models/linear/linear_results.hpp"

namespace kv {

class WLS : public LinearResults {
public:
    explicit WLS(std::optional<bool> fit_intercept) : LinearResults(fit_intercept) {}


    Status fit(MatView x, VecView y, VecView weights);
    Result<Vector> predict(MatView x) const;
    bool is_fitted() const { return coefficients.has_value(); }
    Result<std::string> summary() const;
    std::string repr() const;

};

}  // namespace kv
