// The within (fixed-effects) estimator for panel data with one entity id per row.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"
#include "models/fitted.hpp"
#include "models/panel_data/entity_index.hpp"
#include "models/panel_data/fe_rounds.hpp"

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

    // A fit over row chunks (korvalis.dask): the checks of `fit` on the merged entity round's counts, whether the
    // route factors the demeaned design (the within round then forms its R factor), the solve on the merged within
    // round (nullopt: a route needs the factor the round did not form), and the commit.
    Status check_rounds(std::size_t rows_x, std::size_t k, std::size_t rows_y, std::size_t rows_ids,
                        const EntitySums& sums, bool non_finite) const;
    static bool factor_route(std::size_t n, std::size_t k, std::size_t groups);
    Result<std::optional<Solution>> solve_rounds(const EntitySums& sums, const rounds::WithinRound& within) const;
    Status commit_rounds(EntitySums sums, Solution sol, const rounds::WithinRound& within,
                         const rounds::PanelResidualRound& round);
    Result<VectorOut> predict(MatView x, IdView entity_id) const;
    std::uint64_t df() const;  // residual degrees of freedom of inference and the report
    Result<std::string> summary() const { return named_summary(nullptr); }
    // The report with the caller's names for the target and the rows (stats::ReportNames).
    Result<std::string> named_summary(const stats::ReportNames* names) const;
    std::string repr() const;
};

// predict's error for an id the fit did not see.
std::string unknown_entity_message(std::int64_t id);

}  // namespace kv
