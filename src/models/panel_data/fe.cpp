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
#include "linalg/stream.hpp"
#include "models/covariance.hpp"
#include "models/inference.hpp"
#include "models/linear/layouts.hpp"
#include "models/linear/fit_utils.hpp"
#include "models/solve.hpp"

namespace kv {

namespace {

// Row entity numbers; n is bounded by the LAPACK limit, so 32 bits suffice.
using Codes = std::vector<std::uint32_t>;

struct Numbering {
    EntityIndex index;
    const Codes& codes;                 // length n
    std::vector<std::uint64_t> counts;  // length G
};

// The n-sized buffers of a fit, allocated before any pass over the data so that a fit that cannot
// keep its results fails at once (MemoryError) instead of after streaming every row.
struct Workspace {
    Codes codes;  // each row's entity number
    Vector e;     // the within residuals, kept
    Vector u;     // ỹ, then y − xβ, then the overall residuals
    explicit Workspace(std::size_t n) : codes(n), e(n), u(n) {}
};

Numbering number_entities(const IdView& ids, Codes& codes) {
    Numbering out{{}, codes, {}};
    for (std::size_t i = 0; i < ids.size; ++i) {
        const std::uint64_t g = out.index.number_of(ids[i]);
        if (g == out.counts.size()) out.counts.push_back(0);
        ++out.counts[g];
        codes[i] = static_cast<std::uint32_t>(g);
    }
    return out;
}

// Rows per block of the within passes: about a megabyte of x, so a block is still in cache when
// it is read a second time (the demeaned copy, then BLAS).
std::size_t within_block_rows(std::size_t width) { return std::max<std::size_t>(131072 / width, 64); }

// The entity means of every column of [x | y], and the raw columns' lengths, from one row-wise
// pass. Sums are compensated (Knuth's TwoSum: each sum carries the rounding error of its
// additions, so its error is that of a sum in twice the precision, smaller than a long-double
// one) and each mean is kept as a pair of doubles hi + lo, so a
// demeaned value (x − hi) − lo is x − mean to within about one rounding of the small centred
// value, not of |x|, which an ill-conditioned within design would otherwise amplify. An entity
// whose values in a column are all identical gets that value as its mean (lo = 0), so its
// demeaned values are exactly zero; the quotient sum/count would leave rounding residue (0.1
// over 3 rows demeans to about ±1.4e-17), and a regressor constant within every entity would
// then look identified instead of singular.
class Within {
public:
    Within(const MatView& x, const VecView& y, const Numbering& entities)
        : x_(x), y_(y), codes_(entities.codes), width_(x.cols + 1), mean_(entities.counts.size() * 2 * width_) {
        const std::size_t n = x.rows, groups = entities.counts.size(), w = width_;
        if (groups * w > row_table_limit) {
            demean_by_columns(entities);
            return;
        }
        // Per entity, contiguous so that a row touches one stretch of memory: the sums, their
        // carries, the first values and the largest departure from them, each w long.
        std::vector<double> acc(groups * 4 * w, 0.0), squares(w, 0.0), largest(w, 0.0);
        std::vector<unsigned char> seen(groups, 0);
        std::vector<double> row(w);
        for (std::size_t i = 0; i < n; ++i) {
            read_row(i, row.data());
            const std::size_t g = codes_[i];
            double* s = acc.data() + g * 4 * w;
            double *c = s + w, *first = s + 2 * w, *departs = s + 3 * w;
            if (!seen[g]) {
                seen[g] = 1;
                std::copy(row.begin(), row.end(), first);
            }
            for (std::size_t j = 0; j < w; ++j) {
                const double v = row[j];
                departs[j] = std::max(departs[j], std::fabs(v - first[j]));
                const double t = s[j] + v, z = t - s[j];
                c[j] += (s[j] - (t - z)) + (v - z);
                s[j] = t;
                squares[j] += v * v;
                largest[j] = std::max(largest[j], std::fabs(v));
            }
        }
        for (std::size_t g = 0; g < groups; ++g) {
            const double* s = acc.data() + g * 4 * w;
            const double *c = s + w, *first = s + 2 * w, *departs = s + 3 * w;
            double* hi = mean_.data() + g * 2 * w;
            for (std::size_t j = 0; j < w; ++j) {
                const long double mean = departs[j] > 0
                                             ? (static_cast<long double>(s[j]) + c[j]) / static_cast<long double>(entities.counts[g])
                                             : first[j];
                hi[j] = static_cast<double>(mean);
                hi[w + j] = static_cast<double>(mean - static_cast<long double>(hi[j]));
            }
        }
        raw_norms.resize(w);
        for (std::size_t j = 0; j < w; ++j) note_length(j, squares[j], largest[j]);
    }

    Vector raw_norms;           // k + 1: lengths of the columns and of y before demeaning (y last)
    bool out_of_range = false;  // the data must be rescaled before their squares are formed

    // The exact demeaned value of column j (y at j = k) in row i, for the guarded solver.
    long double exact(std::size_t i, std::size_t j) const {
        const double* hi = mean_.data() + codes_[i] * 2 * width_;
        return (static_cast<long double>(value(i, j)) - hi[j]) - hi[width_ + j];
    }

    // Rows [i0, i0 + m) of [x̃ | ỹ] as the columns of a column-major width × m buffer.
    void block(std::size_t i0, std::size_t m, double* buf) const {
        if (cols_.size()) {
            for (std::size_t i = 0; i < m; ++i)
                for (std::size_t j = 0; j < width_; ++j) buf[i * width_ + j] = cols_(i0 + i, j);
            return;
        }
        const std::size_t k = width_ - 1;
        for (std::size_t i = 0; i < m; ++i) {
            double* row = buf + i * width_;
            const double* hi = mean_.data() + codes_[i0 + i] * 2 * width_;
            const double* lo = hi + width_;
            const double* xr = x_.data + static_cast<std::ptrdiff_t>(i0 + i) * x_.rs;
            if (x_.cs == 1) {
                for (std::size_t j = 0; j < k; ++j) row[j] = (xr[j] - hi[j]) - lo[j];
            } else {
                for (std::size_t j = 0; j < k; ++j) row[j] = (xr[static_cast<std::ptrdiff_t>(j) * x_.cs] - hi[j]) - lo[j];
            }
            row[k] = (y_[i0 + i] - hi[k]) - lo[k];
        }
    }
    std::size_t width() const { return width_; }

    // [x̃ | ỹ]ᵀ[x̃ | ỹ], one pass of demeaned blocks.
    Matrix gram() const {
        if (cols_.size()) return kv::gram(cols_);
        const std::size_t n = x_.rows, b = within_block_rows(width_);
        Matrix g = Matrix::zeros(width_, width_);
        std::vector<double> buf(std::min(n, b) * width_);
        for (std::size_t i0 = 0; i0 < n; i0 += b) {
            const std::size_t m = std::min(b, n - i0);
            block(i0, m, buf.data());
            KV_BLAS(cblas_dsyrk)(KV_CblasColMajor, KV_CblasLower, KV_CblasNoTrans, checked_int(width_),
                                 checked_int(m), 1.0, buf.data(), checked_int(width_), 1.0, g.data(),
                                 checked_int(width_));
        }
        for (std::size_t j = 0; j < width_; ++j)
            for (std::size_t i = j + 1; i < width_; ++i) g(j, i) = g(i, j);
        return g;
    }

    // ỹ − x̃β, ỹ itself into `yt`, and with `scores` (G × k, zeroed) the entity sums of eᵢ·x̃ᵢ for
    // clustered errors.
    void residuals(const Vector& beta, double* e, double* yt, Matrix* scores) const {
        const std::size_t n = x_.rows, k = width_ - 1, b = within_block_rows(width_);
        std::vector<double> buf(std::min(n, b) * width_);
        for (std::size_t i0 = 0; i0 < n; i0 += b) {
            const std::size_t m = std::min(b, n - i0);
            block(i0, m, buf.data());
            for (std::size_t i = 0; i < m; ++i) {
                const double* row = buf.data() + i * width_;
                double fit = 0;
                for (std::size_t j = 0; j < k; ++j) fit += row[j] * beta[j];
                const double ei = row[k] - fit;
                e[i0 + i] = ei;
                yt[i0 + i] = row[k];
                if (scores)
                    for (std::size_t j = 0; j < k; ++j) (*scores)(codes_[i0 + i], j) += ei * row[j];
            }
        }
    }

    // The demeaned x (n × k) and y, for the routes that factor the design.
    void materialise(Matrix& xt, Vector& yt) const {
        const std::size_t n = x_.rows, k = width_ - 1;
        xt = Matrix(n, k);
        yt.resize(n);
        std::vector<double> row(width_);
        for (std::size_t i = 0; i < n; ++i) {
            block(i, 1, row.data());
            for (std::size_t j = 0; j < k; ++j) xt(i, j) = row[j];
            yt[i] = row[k];
        }
    }

private:
    // Beyond this many entity × column means, a row-wise pass misses the cache on every row (the
    // per-entity tables outgrow it): the columns are demeaned one at a time into a copy instead,
    // each against per-entity arrays that stay in cache.
    static constexpr std::size_t row_table_limit = 1 << 17;

    void demean_by_columns(const Numbering& entities) {
        const std::size_t n = x_.rows, groups = entities.counts.size(), w = width_;
        cols_ = Matrix(n, w);
        raw_norms.resize(w);
        std::vector<double> s(groups), c(groups), first(groups), departs(groups), hi(groups), lo(groups);
        std::vector<unsigned char> seen(groups);
        for (std::size_t j = 0; j < w; ++j) {
            std::fill(s.begin(), s.end(), 0.0);
            std::fill(c.begin(), c.end(), 0.0);
            std::fill(departs.begin(), departs.end(), 0.0);
            std::fill(seen.begin(), seen.end(), 0);
            double* col = cols_.col(j);
            double squares = 0, largest = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const double v = value(i, j);
                const std::size_t g = codes_[i];
                col[i] = v;
                if (!seen[g]) {
                    seen[g] = 1;
                    first[g] = v;
                }
                departs[g] = std::max(departs[g], std::fabs(v - first[g]));
                const double t = s[g] + v, z = t - s[g];
                c[g] += (s[g] - (t - z)) + (v - z);
                s[g] = t;
                squares += v * v;
                largest = std::max(largest, std::fabs(v));
            }
            for (std::size_t g = 0; g < groups; ++g) {
                const long double mean =
                    departs[g] > 0 ? (static_cast<long double>(s[g]) + c[g]) / static_cast<long double>(entities.counts[g])
                                   : first[g];
                hi[g] = mean_[g * 2 * w + j] = static_cast<double>(mean);
                lo[g] = mean_[g * 2 * w + w + j] = static_cast<double>(mean - static_cast<long double>(hi[g]));
            }
            for (std::size_t i = 0; i < n; ++i) col[i] = (col[i] - hi[codes_[i]]) - lo[codes_[i]];
            note_length(j, squares, largest);
        }
    }

    // Column j's length; squares leave double range when a sum of them overflows (an infinite
    // length) or when a column's magnitudes are so small that their products underflow.
    void note_length(std::size_t j, double squares, double largest) {
        raw_norms[j] = std::sqrt(squares);
        const bool tiny = largest > 0 && largest < std::ldexp(1.0, -450);
        out_of_range = out_of_range || !(raw_norms[j] <= std::ldexp(1.0, 500)) || tiny;
    }

    double value(std::size_t i, std::size_t j) const { return j + 1 < width_ ? x_(i, j) : y_[i]; }
    void read_row(std::size_t i, double* row) const {
        const std::size_t k = width_ - 1;
        const double* xr = x_.data + static_cast<std::ptrdiff_t>(i) * x_.rs;
        if (x_.cs == 1) {
            for (std::size_t j = 0; j < k; ++j) row[j] = xr[j];  // a short row: a loop, not a library call
        } else {
            for (std::size_t j = 0; j < k; ++j) row[j] = xr[static_cast<std::ptrdiff_t>(j) * x_.cs];
        }
        row[k] = y_[i];
    }

    const MatView& x_;
    const VecView& y_;
    const Codes& codes_;
    std::size_t width_;
    std::vector<double> mean_;  // per entity, hi then lo (each k + 1, y last): mean = hi + lo
    Matrix cols_;               // n × (k + 1), [x̃ | ỹ] when demeaned by columns, else empty
};

// The demeaned data as exact differences of the inputs and their long-double entity means,
// for the guarded solver's refinement.
class ExactWithin final : public ExactData {
public:
    explicit ExactWithin(const Within& w) : w_(w) {}
    long double design(std::size_t i, std::size_t j) const override { return w_.exact(i, j); }
    long double target(std::size_t i, std::size_t) const override { return w_.exact(i, w_.width() - 1); }

private:
    const Within& w_;
};

// α_g: the mean over entity g's rows of yᵢ − xᵢᵀβ on the untransformed data (`u`).
Vector compute_fixed_effects(const Vector& u, const Numbering& entities) {
    Vector alpha(entities.counts.size(), 0.0);
    for (std::size_t i = 0; i < u.size(); ++i) alpha[entities.codes[i]] += u[i];
    for (std::size_t g = 0; g < alpha.size(); ++g) alpha[g] /= static_cast<double>(entities.counts[g]);
    return alpha;
}

// Normal equations when n > 2(G + k) and k < 1000, SVD least squares otherwise.
constexpr const RoutePolicy& routes = matrix_routes;

Result<PanelFit> fit_panel(const MatView& x, const VecView& y, const IdView& entity_id, bool robust, Workspace& ws);

// x and y scaled column by column by powers of two into double range (exact), fitted, and the
// results scaled back: β_j·c_j/c_y, residuals, effects and mse by c_y, the covariance by c.
Result<PanelFit> fit_rescaled(const MatView& x, const VecView& y, const IdView& entity_id, bool robust,
                              Workspace& ws) {
    const std::size_t n = x.rows, k = x.cols;
    const Vector c = max_abs_scales(x);
    const double cy = max_abs_scales(MatView{y.data, n, 1, y.stride, 0})[0];
    Matrix xs = to_matrix(x);
    for (std::size_t j = 0; j < k; ++j)
        for (std::size_t i = 0; i < n; ++i) xs(i, j) *= c[j];
    Vector ys = to_vector(y);
    for (double& v : ys) v *= cy;
    auto fit = fit_panel(xs.view(), view_of(ys), entity_id, robust, ws);
    if (!fit) return fit;
    unscale(*fit, c, cy);
    for (double& v : fit->effects) v /= cy;
    return fit;
}

Result<PanelFit> fit_panel(const MatView& x, const VecView& y, const IdView& entity_id, bool robust,
                           Workspace& ws) {
    const std::size_t n = x.rows, k = x.cols;
    Numbering entities = number_entities(entity_id, ws.codes);
    const std::size_t groups = entities.counts.size();
    if (groups >= n)
        return value_error(
            "Insufficient degrees of freedom: number of entities must be less than number of observations");
    if (n <= groups + k) return value_error("Insufficient degrees of freedom for Fixed Effects estimation");

    const Within w(x, y, entities);
    if (w.out_of_range) return fit_rescaled(x, y, entity_id, robust, ws);
    // The rank of [entity dummies | x] is that of the demeaned columns judged against the raw
    // columns' lengths: a regressor that is an entity-level offset of another is collinear with
    // the effects even when its demeaned rounding residue looks like a column of its own.
    const Vector rank_norms(w.raw_norms.begin(), w.raw_norms.end() - 1);
    const Matrix g = w.gram();  // [x̃ | ỹ]ᵀ[x̃ | ỹ]
    const GramBlocks blocks(g, k);
    const ExactWithin exact(w);
    Matrix xt;
    Vector yt;
    Problem problem(n, k, blocks.dtd, blocks.dty, [&](Problem& pb) {
        w.materialise(xt, yt);
        pb.design = xt.view();
        pb.target = view_of(yt);
    });
    problem.route_size = groups + k;
    problem.exact = &exact;
    problem.rank_norms = &rank_norms;
    auto sol = solve(std::move(problem), routes);
    if (!sol) return fail(std::move(sol.error()));

    Matrix scores = robust ? Matrix::zeros(groups, k) : Matrix();
    Vector& u = ws.u;  // ỹ for the within R², then y − xβ for the effects, then the overall residuals
    Vector& e = ws.e;
    w.residuals(sol->beta, e.data(), u.data(), robust ? &scores : nullptr);
    double ssr = 0;
    const double within_r2 = clamp_r_squared(centred_r_squared(e, u, nullptr, &ssr));
    const double mse = ssr / static_cast<double>(n - groups - k);
    streamed_residuals(RowSource{x, &y, false}, sol->beta.data(), u.data());
    Vector alpha = compute_fixed_effects(u, entities);
    for (std::size_t i = 0; i < n; ++i) u[i] -= alpha[ws.codes[i]];
    const double r2 = clamp_r_squared(centred_r_squared(u, y));
    const std::optional<Matrix> clustered =
        robust ? std::optional(clustered_covariance(scores, sol->bread)) : std::nullopt;
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
    if (auto limit = check_lapack_limits(n, k); !limit.ok()) return limit;
    Workspace ws(n);
    if (!all_finite(x) || !all_finite(y)) return value_error("Input contains NaN or infinite values");
    auto next = fit_panel(x, y, entity_id, robust, ws);
    if (!next) return fail(std::move(next.error()));
    state_ = std::move(*next);
    return {};
}

Result<VectorOut> FE::predict(MatView x, IdView entity_id) const {
    if (!state_) return runtime_error("Model not fitted. Call fit() first.");
    const Vector& beta = state_->params;
    if (x.cols != beta.size())
        return value_error("Feature count mismatch: expected " + std::to_string(beta.size()) + ", got " +
                           std::to_string(x.cols));
    if (x.rows != entity_id.size)
        return value_error("Row count mismatch between X and entity_id: " + std::to_string(x.rows) + " vs " +
                           std::to_string(entity_id.size));
    // Every id is looked up before anything is written; the numbers are kept for the fill (4 bytes a row).
    std::vector<std::uint32_t> numbers(x.rows);
    for (std::size_t i = 0; i < x.rows; ++i) {
        const auto g = state_->index.find(entity_id[i]);
        if (!g)
            return value_error("Unknown entity ID: " + std::to_string(entity_id[i]) +
                               ". This entity was not present in training data.");
        numbers[i] = static_cast<std::uint32_t>(*g);
    }
    return VectorOut{x.rows, [this, x, numbers = std::move(numbers)](double* out) {
                         gemv_update(x, state_->params.data(), 1.0, 0.0, out);
                         for (std::size_t i = 0; i < x.rows; ++i) out[i] += state_->effects[numbers[i]];
                     }};
}

// The entities are not subtracted: inference uses n − k.
std::uint64_t FE::df() const { return stats::residual_df(n_samples().value_or(0), n_features().value_or(0), false); }

Result<std::string> FE::summary() const {
    const stats::ReportLayout layout = stats::fe_layout(robust);
    stats::ReportInput in = inference::report_input(*this);
    in.within_r_squared = within_r_squared();
    if (state_) in.diagnostics = stats::DiagnosticStats::compute(view_of(state_->residuals), state_->condition_number());
    return stats::summary(layout, in);
}

std::string FE::repr() const { return std::string("FE(robust=") + (robust ? "True" : "False") + ")"; }

}  // namespace kv
