// The within (fixed-effects) estimator for panel data with one entity id per row.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "linalg/matrix.hpp"
#include "models/panel_data/entity_index.hpp"
#include "models/error.hpp"

namespace kv {

class FE {
public:
    explicit FE(std::optional<bool> robust) : robust(robust.value_or(false)) {}

    const bool robust;
    std::optional<double> mse;
    std::optional<double> r_squared;
    std::optional<double> within_r_squared;
    std::optional<std::uint64_t> n_samples;
    std::optional<std::uint64_t> n_features;
    std::optional<std::uint64_t> n_entities;
    std::optional<Vector> coefficients;
    std::optional<Vector> standard_errors;
    std::optional<Vector> residuals;
    std::optional<Vector> fixed_effects;
    std::optional<Matrix> xtx_inverse;  // k × k, (X̃ᵀX̃)⁻¹ unscaled

    Status fit(MatView x, VecView y, IdView entity_id);
    Result<Vector> predict(MatView x, IdView entity_id) const;
    bool is_fitted() const { return coefficients.has_value(); }
    std::uint64_t df() const;  // residual degrees of freedom of inference and the report
    Result<std::string> summary() const;
    std::optional<Matrix> covariance_matrix();
    std::string repr() const;

private:
    Status fit_rescaled(MatView x, VecView y, IdView entity_id);

    EntityIndex entity_index_;  // id → entity number of the last fit
    // The within-transformed x of the last fit (n × k). The summary's diagnostics need exactly
    // this matrix, so it is kept in place of a copy of the training x and ids.
    std::optional<Matrix> within_x_;
    std::optional<Matrix> covariance_cache_;
    mutable std::optional<double> condition_number_;  // of within_x_, filled by the first summary after a fit
};

}  // namespace kv
