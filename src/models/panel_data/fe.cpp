// FE: number the entities by first occurrence, remove each entity's mean from x and y (one pass
// of per-entity sums, one pass subtracting; no dummies), solve the demeaned least squares by
// the shared step (Cholesky normal equations or SVD depending on n, G and k), recover the entity
// effects from the untransformed data, and commit everything at once.
// Lengths: n rows, k regressors, G entities; `codes` holds each row's entity number.
#include "models/panel_data/fe.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "linalg/lapack.hpp"
#include "linalg/linalg.hpp"
#include "linalg/normal_equations.hpp"
#include "models/covariance.hpp"
#include "models/inference.hpp"
#include "models/linear/fit_utils.hpp"
#include "models/solve.hpp"

namespace kv {

namespace {

// Row entity numbers; n is bounded by the LAPACK limit, so 32 bits suffice.
using Codes = std::vector<std::uint32_t>;

struct Numbering {
    EntityIndex index;
    Codes codes;                       // length n
    std::vector<std::uint64_t> counts;  // length G
};

Numbering number_entities(const IdView& ids) {
    Numbering out;
    out.codes.resize(ids.size);
    for (std::size_t i = 0; i < ids.size; ++i) {
        const std::uint64_t g = out.index.number_of(ids[i]);
        if (g == out.counts.size()) out.counts.push_back(0);
        ++out.counts[g];
        out.codes[i] = static_cast<std::uint32_t>(g);
    }
    return out;
}

// Subtracts from v[i] the mean of its entity's values. An entity whose values are all identical
// gets that value as its mean, so its demeaned values are exactly zero; the quotient sum/count
// would leave rounding residue (0.1 over 3 rows demeans to about ±1.4e-17), and a regressor
// constant within every entity would then look identified instead of singular.
struct Demeaner {
    const Codes& codes;
    const std::vector<std::uint64_t>& counts;
    // Sums, means and the subtraction are carried in long double, so each demeaned value is the
    // correctly rounded x − mean: its error is relative to the small centred value, not to |x|,
    // which an ill-conditioned within design would otherwise amplify.
    std::vector<long double> sum;
    std::vector<double> first;
    enum class Seen : unsigned char { None, Constant, Varying };  // an entity's values so far
    std::vector<Seen> state;

    Demeaner(const Codes& c, const std::vector<std::uint64_t>& n_g)
        : codes(c), counts(n_g), sum(n_g.size()), first(n_g.size()), state(n_g.size()) {}

    // Demeans v in place and appends the entity means to `means` (G values).
    void operator()(double* v, std::vector<long double>& means) {
        const std::size_t n = codes.size(), groups = counts.size();
        std::fill(sum.begin(), sum.end(), 0.0L);
        std::fill(state.begin(), state.end(), Seen::None);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t g = codes[i];
            const double x = v[i];
            if (state[g] == Seen::None) {
                first[g] = x;
                state[g] = Seen::Constant;
            } else if (state[g] == Seen::Constant && x != first[g]) {
                state[g] = Seen::Varying;
            }
            sum[g] += x;
        }
        for (std::size_t g = 0; g < groups; ++g)
            sum[g] = state[g] == Seen::Constant ? static_cast<long double>(first[g]) : sum[g] / static_cast<long double>(counts[g]);
        for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<double>(v[i] - sum[codes[i]]);
        means.insert(means.end(), sum.begin(), sum.end());
    }
};

struct Within {
    Matrix x;                        // n × k
    Vector y;                        // n
    std::vector<long double> means;  // G × (k + 1), column by column, y's last
    Vector raw_norms;                // k + 1: lengths of the columns and of y before demeaning
};

// Whether a sum of squares of the raw data leaves double range (beyond 2¹⁰⁰⁰, or a non-zero
// one below 2⁻⁹⁰⁰·n where products have lost digits to underflow).
bool squares_out_of_range(const Vector& norms, std::size_t n) {
    const double tiny = std::ldexp(std::sqrt(static_cast<double>(n)), -450);
    for (double v : norms)
        if (!(v <= std::ldexp(1.0, 500)) || (v > 0 && v < tiny)) return true;
    return false;
}

Within within_transform(const MatView& x, const VecView& y, const Numbering& entities) {
    Within out{to_matrix(x), to_vector(y), {}, Vector(x.cols + 1)};
    out.means.reserve(entities.counts.size() * (x.cols + 1));
    Demeaner demean(entities.codes, entities.counts);
    for (std::size_t j = 0; j < out.x.cols(); ++j) {
        out.raw_norms[j] = KV_BLAS(cblas_dnrm2)(checked_int(x.rows), out.x.col(j), 1);
        demean(out.x.col(j), out.means);
    }
    out.raw_norms[x.cols] = KV_BLAS(cblas_dnrm2)(checked_int(x.rows), out.y.data(), 1);
    demean(out.y.data(), out.means);
    return out;
}

// The demeaned data as exact differences of the inputs and their long-double entity means,
// for the guarded solver's refinement.
class ExactWithin final : public ExactData {
public:
    ExactWithin(const MatView& x, const VecView& y, const Numbering& e, const Within& w)
        : x_(x), y_(y), codes_(e.codes), means_(w.means), groups_(e.counts.size()) {}
    long double design(std::size_t i, std::size_t j) const override {
        return static_cast<long double>(x_(i, j)) - means_[j * groups_ + codes_[i]];
    }
    long double target(std::size_t i, std::size_t) const override {
        return static_cast<long double>(y_[i]) - means_[x_.cols * groups_ + codes_[i]];
    }

private:
    const MatView& x_;
    const VecView& y_;
    const Codes& codes_;
    const std::vector<long double>& means_;
    std::size_t groups_;
};

// α_g: the mean over entity g's rows of yᵢ − xᵢᵀβ on the untransformed data; `xb` is x·β.
Vector compute_fixed_effects(const Vector& y, const Vector& xb, const Numbering& entities) {
    Vector alpha(entities.counts.size(), 0.0);
    for (std::size_t i = 0; i < y.size(); ++i) alpha[entities.codes[i]] += y[i] - xb[i];
    for (std::size_t g = 0; g < alpha.size(); ++g) alpha[g] /= static_cast<double>(entities.counts[g]);
    return alpha;
}

constexpr RoutePolicy routes{
    .normal_above = 2,
    .normal_max_p = 1000,
    .singular = "Matrix is singular",
    .singular_svd = "Cannot compute standard errors: matrix is singular",
    .svd_failed = "SVD failed: ",
    .forward_solve = "Cholesky forward solve failed",
    .back_solve = "Cholesky back solve failed",
    .inverse_forward = "Failed to compute triangular solve for matrix inverse",
    .inverse_back = "Failed to compute matrix inverse from Cholesky",
};

Result<PanelFit> fit_panel(const MatView& x, const VecView& y, const IdView& entity_id, bool robust);

// x and y scaled column by column by powers of two into double range (exact), fitted, and the
// results scaled back: β_j·c_j/c_y, residuals, effects and mse by c_y, the covariance by c.
Result<PanelFit> fit_rescaled(const MatView& x, const VecView& y, const IdView& entity_id, bool robust) {
    const std::size_t n = x.rows, k = x.cols;
    const Vector c = max_abs_scales(x);
    const double cy = max_abs_scales(MatView{y.data, n, 1, y.stride, 0})[0];
    Matrix xs = to_matrix(x);
    for (std::size_t j = 0; j < k; ++j)
        for (std::size_t i = 0; i < n; ++i) xs(i, j) *= c[j];
    Vector ys = to_vector(y);
    for (double& v : ys) v *= cy;
    auto fit = fit_panel(xs.view(), view_of(ys), entity_id, robust);
    if (!fit) return fit;
    unscale(*fit, c, cy);
    for (double& v : fit->effects) v /= cy;
    return fit;
}

Result<PanelFit> fit_panel(const MatView& x, const VecView& y, const IdView& entity_id, bool robust) {
    const std::size_t n = x.rows, k = x.cols;
    Numbering entities = number_entities(entity_id);
    const std::size_t groups = entities.counts.size();
    if (groups >= n)
        return value_error(
            "Insufficient degrees of freedom: number of entities must be less than number of observations");
    if (n <= groups + k) return value_error("Insufficient degrees of freedom for Fixed Effects estimation");

    Within w = within_transform(x, y, entities);
    if (squares_out_of_range(w.raw_norms, n)) return fit_rescaled(x, y, entity_id, robust);
    w.raw_norms.pop_back();  // the rank rule reads the columns of x only
    // The rank of [entity dummies | x] is that of the demeaned columns judged against the raw
    // columns' lengths: a regressor that is an entity-level offset of another is collinear with
    // the effects even when its demeaned rounding residue looks like a column of its own.
    const ExactWithin exact(x, y, entities, w);
    Problem problem{w.x.view(), view_of(w.y)};
    problem.route_size = groups + k;
    problem.exact = &exact;
    problem.rank_norms = &w.raw_norms;
    auto sol = solve(problem, routes);
    if (!sol) return fail(std::move(sol.error()));

    Vector e = residuals_of(w.x, sol->beta, w.y);
    const Vector yv = to_vector(y);
    const Vector xb = matvec(x, sol->beta.data());
    Vector alpha = compute_fixed_effects(yv, xb, entities);
    Vector overall(n);  // residuals of the model with its effects, on the untransformed data
    for (std::size_t i = 0; i < n; ++i) overall[i] = yv[i] - (xb[i] + alpha[entities.codes[i]]);
    const double mse = dot(e.data(), e.data(), n) / static_cast<double>(n - groups - k);
    const double within_r2 = clamp_r_squared(centred_r_squared(e, w.y));
    const double r2 = clamp_r_squared(centred_r_squared(overall, yv));
    const std::optional<Matrix> clustered =
        robust ? std::optional(clustered_covariance(w.x, e, sol->bread, entities.codes, groups)) : std::nullopt;
    PanelFit fit{make_linear_fit(n, k, false, std::move(sol->beta), std::move(sol->r), std::move(e), mse, r2,
                                 classical_covariance(sol->bread, mse), clustered ? &*clustered : nullptr),
                 std::move(entities.index), std::move(alpha), within_r2, groups};
    return fit;
}

}  // namespace

Status FE::fit(MatView x, VecView y, IdView entity_id) {
    const std::size_t n = x.rows, k = x.cols;
    if (n * k == 0 || y.size == 0 || entity_id.size == 0) return value_error("Input arrays cannot be empty");
    if (y.size != n || entity_id.size != n)
        return value_error("Array length mismatch: X has " + std::to_string(n) + " rows, y has " +
                           std::to_string(y.size) + " elements, entity_id has " + std::to_string(entity_id.size) +
                           " elements");
    if (!all_finite(x) || !all_finite(y)) return value_error("Input contains NaN or infinite values");
    if (auto limit = check_lapack_limits(n, k); !limit.ok()) return limit;
    auto next = fit_panel(x, y, entity_id, robust);
    if (!next) return fail(std::move(next.error()));
    state_ = std::move(*next);
    return {};
}

Result<Vector> FE::predict(MatView x, IdView entity_id) const {
    if (!state_) return runtime_error("Model not fitted. Call fit() first.");
    const Vector& beta = state_->params;
    if (x.cols != beta.size())
        return value_error("Feature count mismatch: expected " + std::to_string(beta.size()) + ", got " +
                           std::to_string(x.cols));
    if (x.rows != entity_id.size)
        return value_error("Row count mismatch between X and entity_id: " + std::to_string(x.rows) + " vs " +
                           std::to_string(entity_id.size));
    Vector out = matvec(x, beta.data());
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto g = state_->index.find(entity_id[i]);
        if (!g)
            return value_error("Unknown entity ID: " + std::to_string(entity_id[i]) +
                               ". This entity was not present in training data.");
        out[i] += state_->effects[*g];
    }
    return out;
}

// The entities are not subtracted: inference uses n − k.
std::uint64_t FE::df() const { return stats::residual_df(n_samples().value_or(0), n_features().value_or(0), false); }

Result<std::string> FE::summary() const {
    const stats::ReportLayout layout{"Fixed Effects Regression Results", "Within Estimator (Fixed Effects)",
                                     robust ? "clustered" : "nonrobust", false, true};
    stats::ReportInput in = inference::report_input(*this);
    in.within_r_squared = within_r_squared();
    if (state_) in.diagnostics = stats::DiagnosticStats::compute(view_of(state_->residuals), state_->condition_number());
    return stats::summary(layout, in);
}

std::string FE::repr() const { return std::string("FE(robust=") + (robust ? "True" : "False") + ")"; }

}  // namespace kv
