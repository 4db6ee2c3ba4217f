// FE over row chunks: the entity round is EntitySums folded over the chunks and merged by entity id
// (numbers by first appearance over all rows); the within round is the Gram matrix of the demeaned
// rows [x̃ | ỹ] (with, where the route factors the design, its R factor); the residual round adds the
// entity scores of the clustered covariance to the linear classes' residual sums. A chunk finds its
// rows' entity numbers in the merged numbering through an index built from the ids in number order (a
// direct table when they span a range not much wider than their count, a hash table otherwise).
#pragma once

#include <cstdint>
#include <vector>

#include "linalg/matrix.hpp"
#include "models/rounds.hpp"
#include "models/panel_data/entity_sums.hpp"

namespace kv::rounds {

// The merged numbering from the G ids in number order.
EntityIndex index_of(const IdView& ids_by_number);

// Each row's entity number; false, with the id in `unknown`, at the first id the numbering lacks.
bool code_rows(const IdView& ids, const EntityIndex& index, std::uint32_t* codes, std::int64_t& unknown);

// [x̃ | ỹ]ᵀ[x̃ | ỹ] over demeaned rows, Σỹ and max|ỹ| (the within R²), and optionally the R factor of
// [x̃ | ỹ] (merged by tall-skinny QR).
struct WithinRound {
    double rows = 0, target_sum = 0, target_largest = 0;
    Matrix gram;             // (k + 1) × (k + 1)
    FactorRound factor;      // empty unless asked

    // With `beta` (a refinement round), the factor is that of [x̃ | ỹ − x̃β] with the residuals formed in
    // double-double from the exact differences x − mean, and the factor round's gradient x̃ᵀ(ỹ − x̃β) beside it.
    void add(const MatView& x, const VecView& y, const std::uint32_t* codes, const double* means, bool with_factor,
             const double* beta = nullptr);
    void merge(const WithinRound& b);
    Vector pack() const;
    static WithinRound unpack(const VecView& v);

private:
    void refine_block(const MatView& x, const VecView& y, const std::uint32_t* codes, const double* means,
                      const double* beta, std::size_t i0, std::size_t m, double* buf);
};

// FE's residual round: the residual sums of the linear classes over e = ỹ − x̃β with the raw target
// (overall R²), and the entity scores s_g = Σ_{i in g} eᵢ·x̃ᵢ of the chunk's entities, by number.
struct PanelResidualRound {
    ResidualRound sums;
    std::vector<std::uint32_t> entities;  // ascending
    std::vector<double> scores;           // k per entity, in the order of `entities`
    std::size_t k = 0;

    // With `e_out`, the residuals are also written there.
    void add(const MatView& x, const VecView& y, const std::uint32_t* codes, const double* means, const double* beta,
             bool moments, bool with_scores, double* e_out = nullptr);
    void merge(const PanelResidualRound& b);
    Vector pack() const;
    static PanelResidualRound unpack(const VecView& v);
};

}  // namespace kv::rounds
