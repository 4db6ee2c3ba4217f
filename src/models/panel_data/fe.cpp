// FE: number the entities by first occurrence, remove each entity's mean from x and y (one pass
// of per-entity sums, one pass subtracting; no dummies), solve the demeaned least squares by
// Cholesky normal equations or SVD depending on n, G and k, recover the entity effects from the
// untransformed data, and commit everything at once.
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
#include "models/linear/fit_utils.hpp"
#include "models/inference.hpp"
#include "models/linear/stat_utils.hpp"

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
    std::vector<unsigned char> state;  // 0 unseen, 1 constant so far, 2 varying

    Demeaner(const Codes& c, const std::vector<std::uint64_t>& n_g)
        : codes(c), counts(n_g), sum(n_g.size()), first(n_g.size()), state(n_g.size()) {}

    // Demeans v in place and appends the entity means to `means` (G values).
    void operator()(double* v, std::vector<long double>& means) {
        const std::size_t n = codes.size(), groups = counts.size();
        std::fill(sum.begin(), sum.end(), 0.0L);
        std::fill(state.begin(), state.end(), 0);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t g = codes[i];
            const double x = v[i];
            if (state[g] == 0) {
                first[g] = x;
                state[g] = 1;
            } else if (state[g] == 1 && x != first[g]) {
                state[g] = 2;
            }
            sum[g] += x;
        }
        for (std::size_t g = 0; g < groups; ++g)
            sum[g] = state[g] == 1 ? static_cast<long double>(first[g]) : sum[g] / static_cast<long double>(counts[g]);
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

// Entity-clustered sandwich A⁻¹(Σ_g s_g s_gᵀ)A⁻¹ with s_g = Σ_{i in g} eᵢ·X̃ᵢ, no small-sample
// factor. One pass over the rows fills the G × k score table (each score summed in row order),
// then the outer products are added in ascending entity order.
Vector compute_clustered_standard_errors(const Matrix& xw, const Vector& e, const Matrix& a_inv,
                                         const Numbering& entities) {
    const std::size_t n = xw.rows(), k = xw.cols(), groups = entities.counts.size();
    Matrix scores = Matrix::zeros(groups, k);  // G × k
    for (std::size_t j = 0; j < k; ++j) {
        const double* xj = xw.col(j);
        double* sj = scores.col(j);
        for (std::size_t i = 0; i < n; ++i) sj[entities.codes[i]] += e[i] * xj[i];
    }
    Matrix meat = Matrix::zeros(k, k);
    for (std::size_t g = 0; g < groups; ++g)
        for (std::size_t b = 0; b < k; ++b) {
            const double sb = scores(g, b);
            for (std::size_t a = b; a < k; ++a) meat(a, b) += scores(g, a) * sb;
        }
    for (std::size_t b = 0; b < k; ++b)
        for (std::size_t a = b + 1; a < k; ++a) meat(b, a) = meat(a, b);
    const Matrix left = matmul(a_inv.view(), meat.view());
    return sandwich_standard_errors(matmul(left.view(), a_inv.view()));
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

    Numbering entities = number_entities(entity_id);
    const std::size_t groups = entities.counts.size();
    if (groups >= n)
        return value_error(
            "Insufficient degrees of freedom: number of entities must be less than number of observations");
    if (n <= groups + k) return value_error("Insufficient degrees of freedom for Fixed Effects estimation");

    Within w = within_transform(x, y, entities);
    if (squares_out_of_range(w.raw_norms, n)) return fit_rescaled(x, y, entity_id);
    w.raw_norms.pop_back();  // the rank rule reads the columns of x only
    const Matrix a = gram(w.x);
    const Vector b = transposed_matvec(w.x, w.y.data());

    // The rank of [entity dummies | x] is that of the demeaned columns judged against the raw
    // columns' lengths: a regressor that is an entity-level offset of another is collinear with
    // the effects even when its demeaned rounding residue looks like a column of its own.
    Vector beta;
    Matrix a_inv;
    if (n > 2 * (groups + k) && k < 1000) {
        const ExactWithin exact(x, y, entities, w);
        auto sol = solve_normal_equations(w.x.view(), column_matrix(w.y).view(), a, column_matrix(b), &exact,
                                          &w.raw_norms);
        if (!sol) {
            switch (sol.error()) {
                case NormalStep::Factor:
                case NormalStep::RankDeficient: return runtime_error("Matrix is singular");
                case NormalStep::ForwardSolve: return runtime_error("Cholesky forward solve failed");
                case NormalStep::BackSolve: return runtime_error("Cholesky back solve failed");
                case NormalStep::InverseForward:
                    return runtime_error("Failed to compute triangular solve for matrix inverse");
                case NormalStep::InverseBack: return runtime_error("Failed to compute matrix inverse from Cholesky");
            }
        }
        beta.assign(sol->beta.data(), sol->beta.data() + k);
        a_inv = std::move(sol->xtx_inverse);
    } else {
        const Matrix ycol = column_matrix(w.y);
        auto sol = solve_by_svd(w.x.view(), ycol.view(), &w.raw_norms);
        if (!sol) {
            if (sol.error().rank_deficient) return runtime_error("Cannot compute standard errors: matrix is singular");
            return runtime_error("SVD failed: " + sol.error().error.render());
        }
        beta.assign(sol->beta.data(), sol->beta.data() + k);
        a_inv = std::move(sol->xtx_inverse);
    }

    Vector e = residuals_of(w.x, beta, w.y);
    const Vector yv = to_vector(y);
    const Vector xb = matvec(x, beta.data());
    Vector alpha = compute_fixed_effects(yv, xb, entities);

    const double ssr_within = dot(e.data(), e.data(), n);
    const double within_r2 = clamp_r_squared(centred_r_squared(e, w.y));
    Vector overall(n);  // residuals of the model with its effects, on the untransformed data
    for (std::size_t i = 0; i < n; ++i) overall[i] = yv[i] - (xb[i] + alpha[entities.codes[i]]);
    const double r2 = clamp_r_squared(centred_r_squared(overall, yv));
    const double mse_new = ssr_within / static_cast<double>(n - groups - k);

    Vector se = robust ? compute_clustered_standard_errors(w.x, e, a_inv, entities)
                       : classical_standard_errors(a_inv, mse_new);

    // Commit.
    n_samples = n;
    n_features = k;
    n_entities = groups;
    entity_index_ = std::move(entities.index);
    coefficients = std::move(beta);
    standard_errors = std::move(se);
    residuals = std::move(e);
    fixed_effects = std::move(alpha);
    xtx_inverse = std::move(a_inv);
    mse = mse_new;
    r_squared = r2;
    within_r_squared = within_r2;
    within_x_ = std::move(w.x);
    covariance_cache_.reset();
    condition_number_.reset();
    return {};
}

// x and y scaled column by column by powers of two into double range (exact), fitted, and the
// committed results scaled back: β_j·c_j/c_y, residuals, effects and mse by c_y, (X̃ᵀX̃)⁻¹ by c.
// A failed fit of the scaled data leaves the object as it was, like any failed fit.
Status FE::fit_rescaled(MatView x, VecView y, IdView entity_id) {
    const std::size_t n = x.rows, k = x.cols;
    const Vector c = max_abs_scales(x);
    const double cy = max_abs_scales(MatView{y.data, n, 1, y.stride, 0})[0];
    Matrix xs = to_matrix(x);
    for (std::size_t j = 0; j < k; ++j)
        for (std::size_t i = 0; i < n; ++i) xs(i, j) *= c[j];
    Vector ys = to_vector(y);
    for (double& v : ys) v *= cy;
    if (auto s = fit(xs.view(), view_of(ys), entity_id); !s.ok()) return s;
    for (std::size_t j = 0; j < k; ++j) {
        (*coefficients)[j] = (*coefficients)[j] * c[j] / cy;
        (*standard_errors)[j] = (*standard_errors)[j] * c[j] / cy;
        for (std::size_t i = 0; i < k; ++i) (*xtx_inverse)(i, j) *= c[i] * c[j];
    }
    for (double& v : *residuals) v /= cy;
    for (double& v : *fixed_effects) v /= cy;
    mse = *mse / cy / cy;
    return {};
}

Result<Vector> FE::predict(MatView x, IdView entity_id) const {
    if (!coefficients || !fixed_effects) return runtime_error("Model not fitted. Call fit() first.");
    if (x.cols != coefficients->size())
        return value_error("Feature count mismatch: expected " + std::to_string(coefficients->size()) + ", got " +
                           std::to_string(x.cols));
    if (x.rows != entity_id.size)
        return value_error("Row count mismatch between X and entity_id: " + std::to_string(x.rows) + " vs " +
                           std::to_string(entity_id.size));
    Vector out = matvec(x, coefficients->data());
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto g = entity_index_.find(entity_id[i]);
        if (!g)
            return value_error("Unknown entity ID: " + std::to_string(entity_id[i]) +
                               ". This entity was not present in training data.");
        out[i] += (*fixed_effects)[*g];
    }
    return out;
}

// The entities are not subtracted: inference uses n − k.
std::uint64_t FE::df() const { return stats::residual_df(n_samples.value_or(0), n_features.value_or(0), false); }

// Always the classical mse·(X̃ᵀX̃)⁻¹, also when the standard errors are cluster-robust.
std::optional<Matrix> FE::covariance_matrix() {
    return cached_covariance(covariance_cache_, xtx_inverse, mse);
}

Result<std::string> FE::summary() const {
    stats::ReportLayout layout{"Fixed Effects Regression Results", "Within Estimator (Fixed Effects)",
                               robust ? "clustered" : "nonrobust", false, true};
    stats::ReportInput in = inference::report_input(*this);
    in.within_r_squared = within_r_squared;
    in.coefficients = &coefficients;
    in.standard_errors = &standard_errors;
    in.n_samples = n_samples.value_or(0);
    in.n_features = n_features.value_or(0);
    in.fit_intercept = false;
    if (within_x_ && residuals) {
        if (!condition_number_) condition_number_ = stats::scaled_condition_number(within_x_->view());
        in.diagnostics = stats::DiagnosticStats::compute(view_of(*residuals), *condition_number_);
    }
    return stats::summary(layout, in);
}

std::string FE::repr() const { return std::string("FE(robust=") + (robust ? "True" : "False") + ")"; }

}  // namespace kv
