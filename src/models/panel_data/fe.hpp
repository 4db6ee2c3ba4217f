// The within (fixed-effects) estimator for panel data with one entity id per row.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"
#include "models/fitted.hpp"
#include "models/panel_data/entity_index.hpp"

namespace kv {

// FE's fitted state: the slopes' fit (no intercept) and the entities.
struct PanelFit : LinearFit {
    EntityIndex index;          // id → entity number
    Vector effects;             // G, by entity number
    double within_r_squared = 0.0;
    std::uint64_t n_entities = 0;
};

class FE : public Fitted<PanelFit> {
public:
    explicit FE(std::optional<bool> robust) : robust(robust.value_or(false)) {}

    const bool robust;

    std::optional<double> within_r_squared() const { return field(&PanelFit::within_r_squared); }
    std::optional<std::uint64_t> n_entities() const { return field(&PanelFit::n_entities); }
    const Vector* fixed_effects() const { return state_ ? &state_->effects : nullptr; }

    Status fit(MatView x, VecView y, IdView entity_id);
    Result<VectorOut> predict(MatView x, IdView entity_id) const;
    std::uint64_t df() const;  // residual degrees of freedom of inference and the report
    Result<std::string> summary() const { return named_summary(nullptr); }
    // The report with the caller's names for the target and the rows (stats::ReportNames).
    Result<std::string> named_summary(const stats::ReportNames* names) const;
    std::string repr() const;
};

}  // namespace kv
