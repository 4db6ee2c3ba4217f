// FE: number the entities by first occurrence, remove each entity's mean from x and y (entity
// sums, then demeaned blocks straight into the Gram product; no dummies, no demeaned copy),
// solve the demeaned least squares by the shared step (Cholesky normal equations or SVD depending
// on n, G and k), then one more pass for the residuals, the entity effects ȳ_g − x̄_gᵀβ and the
// clustered scores, and commit everything at once.
// Lengths: n rows, k regressors, G entities; `codes` holds each row's entity number.
#include "models/panel_data/fe.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "linalg/lapack.hpp"
#include "linalg/linalg.hpp"
#include "linalg/normal_equations.hpp"
#include "linalg/qr.hpp"
#include "linalg/stream.hpp"
#include "models/covariance.hpp"
#include "models/inference.hpp"
#include "models/linear/layouts.hpp"
#include "models/linear/fit_utils.hpp"
#include "models/panel_data/entity_sums.hpp"
#include "models/solve.hpp"

namespace kv {

namespace {

// The n-sized buffers of a fit, allocated before any pass over the data so that a fit that cannot
// keep its results fails at once (MemoryError) instead of after streaming every row.
struct Workspace {
    Codes codes;  // each row's entity number
    Vector e;     // the within residuals, kept
    explicit Workspace(std::size_t n) : codes(n), e(n) {}
};

// Rows per block of the within passes: block_bytes() of demeaned rows, so a block is still in cache
// when it is read a second time (the demeaned block, then BLAS).
std::size_t within_block_rows(std::size_t width) {
    return std::max<std::size_t>(block_bytes() / sizeof(double) / width, 64);
}

// The entity sums are a table (2 doubles per entity and column) updated row by row in row order
// while it costs at most a quarter of x's bytes (or twice the level-2 cache, 4·block_bytes()): x is
// then read in order and the table is read a few rows ahead of its use once it outgrows a quarter
// of a block. Beyond that, the rows are visited entity by entity instead
// (one counting sort of the row numbers): each entity's sums are formed over its own rows, which
// are then in cache for their demeaning, and nothing per entity outlives the entity. That reads x
// out of order, slower per row, but needs no n-sized table beside the row numbers.

// The within transformation of [x | y] and the passes over it.
class Within {
public:
    Within(const MatView& x, const VecView& y, const Codes& codes, Numbering&& entities)
        : x_(x), y_(y), codes_(codes), w_(x.cols + 1), counts_(std::move(entities.counts)) {
        const std::size_t groups = counts_.size(), n = x.rows;
        const std::size_t table_bytes = groups * 2 * w_ * sizeof(double);
        grouped_ = table_bytes > std::max(4 * block_bytes(), n * x.cols * sizeof(double) / 4);
        // Tables beyond the first cache levels are read a few rows ahead.
        const bool far = table_bytes > block_bytes() / 4;
        if (!grouped_) {
            EntitySums sums(w_, std::move(entities));
            sums.add_numbered(x, y, codes.data(), 0, n, far);
            far_ = far;
            means_ = sums.take_means();
            index_ = std::move(sums.index());
            note_lengths(sums.squares(), sums.largest());
            return;
        }
        index_ = std::move(entities.index);
        // A counting sort of the row numbers by entity: rows of one entity in row order.
        // offsets_[g] starts as the end of entity g's rows and is moved back to their start as the
        // rows are placed, last row first (so each entity's rows stay in row order).
        offsets_.resize(groups + 1);
        std::uint32_t end = 0;
        for (std::size_t g = 0; g < groups; ++g) offsets_[g] = end += static_cast<std::uint32_t>(counts_[g]);
        offsets_[groups] = end;
        rows_.resize(n);
        for (std::size_t i = n; i-- > 0;) rows_[--offsets_[codes[i]]] = static_cast<std::uint32_t>(i);
    }

    std::size_t groups() const { return counts_.size(); }
    std::size_t width() const { return w_; }
    EntityIndex take_index() { return std::move(index_); }

    // Known after the constructor (entity sums by table) or after gram() (by entity).
    Vector raw_norms;           // k + 1: lengths of the columns and of y before demeaning (y last)
    bool out_of_range = false;  // the data must be rescaled before their squares are formed
    bool finite = true;         // no NaN or ±∞ reached the sums of squares
    double target_sum = 0;      // Σỹ and max|ỹ|, from gram()
    double target_largest = 0;

    // [x̃ | ỹ]ᵀ[x̃ | ỹ], one pass of demeaned blocks. With `r`, also the triangular factor R (w × w,
    // zeros below the diagonal) of [x̃ | ỹ] = Q·R, by Householder QR of R stacked on each block in
    // turn: least squares on [x̃ | ỹ] is least squares on R, with the same singular values, so the
    // SVD route needs no demeaned copy of the data.
    Matrix gram(Matrix* r = nullptr) {
        const std::size_t w = w_, k = w - 1;
        Matrix g = Matrix::zeros(w, w);
        if (grouped_) raw_lengths();
        if (r) *r = Matrix::zeros(w, w);
        demeaned_blocks([&](const double* buf, std::size_t m) {
            for (std::size_t i = 0; i < m; ++i) {
                const double v = buf[i * w + k];
                target_sum += v;
                target_largest = std::max(target_largest, std::fabs(v));
            }
            KV_BLAS(cblas_dsyrk)(KV_CblasColMajor, KV_CblasLower, KV_CblasNoTrans, checked_int(w), checked_int(m), 1.0,
                                 buf, checked_int(w), 1.0, g.data(), checked_int(w));
            if (r) stack_qr(*r, buf, m);
        });
        for (std::size_t j = 0; j < w; ++j)
            for (std::size_t i = j + 1; i < w; ++i) g(j, i) = g(i, j);
        return g;
    }

    // e = ỹ − x̃β, each entity's effect ȳ_g − x̄_gᵀβ, and with `meat` (k × k, zeroed) Σ_g s_g s_gᵀ over
    // the entity scores s_g = Σ_{i in g} eᵢ·x̃ᵢ, in ascending entity order.
    void residuals(const Vector& beta, double* e, Vector& alpha, Matrix* meat) const {
        const std::size_t n = x_.rows, w = w_, k = w - 1, groups = counts_.size();
        alpha.assign(groups, 0.0);
        auto effect = [&](std::size_t g, const double* hi) {
            long double a = static_cast<long double>(hi[k]) + hi[w + k];
            for (std::size_t j = 0; j < k; ++j) a -= (static_cast<long double>(hi[j]) + hi[w + j]) * beta[j];
            alpha[g] = static_cast<double>(a);
        };
        if (!grouped_) {
            const std::size_t b = std::min(n, within_block_rows(w));
            std::vector<double> buf(b * w);
            // The entity scores, k contiguous per entity so that a row adds to one stretch of memory.
            std::vector<double> scores(meat ? groups * k : 0, 0.0);
            for (std::size_t i0 = 0; i0 < n; i0 += b) {
                const std::size_t m = std::min(b, n - i0);
                demean_rows(x_, y_, codes_.data(), means_.data(), i0, m, buf.data(), far_);
                // x̃β for the block by one product (the block is k × m with leading dimension w), then ỹ − x̃β.
                double* eb = e + i0;
                KV_BLAS(cblas_dgemv)(KV_CblasColMajor, KV_CblasTrans, checked_int(k), checked_int(m), 1.0, buf.data(),
                                     checked_int(w), beta.data(), 1, 0.0, eb, 1);
                for (std::size_t i = 0; i < m; ++i) eb[i] = buf[i * w + k] - eb[i];
                if (meat)
                    for (std::size_t i = 0; i < m; ++i) {
                        if (far_ && i + 12 < m) __builtin_prefetch(scores.data() + codes_[i0 + i + 12] * k);
                        const double* row = buf.data() + i * w;
                        double* __restrict sg = scores.data() + static_cast<std::size_t>(codes_[i0 + i]) * k;
                        for (std::size_t j = 0; j < k; ++j) sg[j] += eb[i] * row[j];
                    }
            }
            for (std::size_t g = 0; g < groups; ++g) effect(g, means_.data() + g * 2 * w);
            if (meat)
                for (std::size_t g = 0; g < groups; ++g) add_score(*meat, [&](std::size_t j) { return scores[g * k + j]; });
        } else {
            std::vector<double> d(w), score(k);
            for_each_entity(true, [&](std::size_t g, const std::uint32_t* rows, std::size_t m, const double* hi,
                                      double* row) {
                std::fill(score.begin(), score.end(), 0.0);
                for (std::size_t r = 0; r < m; ++r) {
                    const std::size_t i = rows[r];
                    read_row(x_, y_, i, row);
                    for (std::size_t j = 0; j < w; ++j) d[j] = (row[j] - hi[j]) - hi[w + j];
                    double fit = 0;
                    for (std::size_t j = 0; j < k; ++j) fit += d[j] * beta[j];
                    const double ei = d[k] - fit;
                    e[i] = ei;
                    if (meat)
                        for (std::size_t j = 0; j < k; ++j) score[j] += ei * d[j];
                }
                effect(g, hi);
                if (meat) add_score(*meat, [&](std::size_t j) { return score[j]; });
            });
            // An entity of one row is its own mean (hi = the row, lo = 0): its residual is exactly zero,
            // its score adds nothing, and its effect is the general formula's on that row. These rows
            // are read in row order, not gathered.
            std::vector<double> own(2 * w, 0.0);
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t g = codes_[i];
                if (counts_[g] != 1) continue;
                read_row(x_, y_, i, own.data());
                e[i] = 0.0;
                effect(g, own.data());
            }
        }
        if (meat)
            for (std::size_t j = 0; j < k; ++j)
                for (std::size_t i = j + 1; i < k; ++i) (*meat)(j, i) = (*meat)(i, j);
    }

    // The exact demeaned value of column j (y at j = k) in row i, for the guarded solver.
    long double exact(std::size_t i, std::size_t j) const {
        const double* hi = means().data() + static_cast<std::size_t>(codes_[i]) * 2 * w_;
        return (static_cast<long double>(value(i, j)) - hi[j]) - hi[w_ + j];
    }

    // The demeaned x (n × k) and y, for the routes that factor the design.
    void materialise(Matrix& xt, Vector& yt) const {
        const std::size_t n = x_.rows, k = w_ - 1;
        xt = Matrix(n, k);
        yt.resize(n);
        const double* m = means().data();
        std::vector<double> row(w_);
        for (std::size_t i = 0; i < n; ++i) {
            demean_rows(x_, y_, codes_.data(), m, i, 1, row.data());
            for (std::size_t j = 0; j < k; ++j) xt(i, j) = row[j];
            yt[i] = row[k];
        }
    }

private:
    // The demeaned rows of [x | y] block by block: consume(buf, m) with buf a column-major w × m
    // block (one row per column). Visiting by entity, an entity of one row is skipped: its
    // demeaned row is exactly zero (its means are its values), and adds nothing to a product.
    template <class F>
    void demeaned_blocks(F&& consume) const {
        const std::size_t n = x_.rows, w = w_, b = std::min(n, within_block_rows(w));
        std::vector<double> buf(b * w);
        if (!grouped_) {
            for (std::size_t i0 = 0; i0 < n; i0 += b) {
                const std::size_t m = std::min(b, n - i0);
                demean_rows(x_, y_, codes_.data(), means_.data(), i0, m, buf.data(), far_);
                consume(static_cast<const double*>(buf.data()), m);
            }
            return;
        }
        std::size_t fill = 0;
        for_each_entity(true, [&](std::size_t, const std::uint32_t* rows, std::size_t m, const double* hi, double* row) {
            for (std::size_t r = 0; r < m; ++r) {
                read_row(x_, y_, rows[r], row);
                double* __restrict out = buf.data() + fill * w;
                for (std::size_t j = 0; j < w; ++j) out[j] = (row[j] - hi[j]) - hi[w + j];
                if (++fill == b) {
                    consume(static_cast<const double*>(buf.data()), fill);
                    fill = 0;
                }
            }
        });
        if (fill) consume(static_cast<const double*>(buf.data()), fill);
    }

    // R ← the R factor of [R; B] for a block B of demeaned rows (buf: column-major w × m, a row per
    // column), by one Householder reflection per column that acts on R's diagonal element and B's
    // column (R is triangular, so nothing else below the diagonal is non-zero), as LAPACK's dtpqrt2
    // does. Written out here rather than called: LAPACK would share each of its short level-2
    // steps among BLAS's threads, whose hand-over costs more than the arithmetic.
    void stack_qr(Matrix& r, const double* buf, std::size_t m) const {
        const std::size_t w = w_;
        qr_block_.resize(m * w);
        double* b = qr_block_.data();  // column-major m × w
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t j = 0; j < w; ++j) b[j * m + i] = buf[i * w + j];
        for (std::size_t j = 0; j < w; ++j) {
            double* v = b + j * m;
            const double sigma = dot(v, v, m);
            if (sigma == 0) continue;  // nothing below the diagonal to annihilate
            const double alpha = r(j, j), norm = std::sqrt(alpha * alpha + sigma);
            const double beta = alpha >= 0 ? -norm : norm;
            const double tau = (beta - alpha) / beta, scale = 1.0 / (alpha - beta);
            for (std::size_t i = 0; i < m; ++i) v[i] *= scale;  // the reflector (1, v)
            r(j, j) = beta;
            for (std::size_t c = j + 1; c < w; ++c) {
                double* bc = b + c * m;
                const double d = tau * (r(j, c) + dot(v, bc, m));
                r(j, c) -= d;
                for (std::size_t i = 0; i < m; ++i) bc[i] -= d * v[i];
            }
        }
    }

    // Σ a_i·b_i over four interleaved partial sums, so that the additions do not wait on each other.
    static double dot(const double* a, const double* b, std::size_t m) {
        double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
        std::size_t i = 0;
        for (; i + 4 <= m; i += 4) {
            s0 += a[i] * b[i];
            s1 += a[i + 1] * b[i + 1];
            s2 += a[i + 2] * b[i + 2];
            s3 += a[i + 3] * b[i + 3];
        }
        for (; i < m; ++i) s0 += a[i] * b[i];
        return (s0 + s1) + (s2 + s3);
    }

    // Σv² and max|v| per raw column in one pass in row order.
    void raw_lengths() {
        const std::size_t n = x_.rows, w = w_;
        Vector squares(w, 0.0), largest(w, 0.0);
        std::vector<double> row(w);
        for (std::size_t i = 0; i < n; ++i) {
            read_row(x_, y_, i, row.data());
            for (std::size_t j = 0; j < w; ++j) {
                squares[j] += row[j] * row[j];
                largest[j] = std::max(largest[j], std::fabs(row[j]));
            }
        }
        note_lengths(squares, largest);
    }

    // f(g, rows, m, means, scratch row) for each entity in ascending number (those of one row
    // skipped with `skip_single`), with its rows (in row order) and its means hi + lo (2w) formed
    // from them.
    template <class F>
    void for_each_entity(bool skip_single, F&& f) const {
        const std::size_t w = w_, n = rows_.size();
        std::vector<double> state(2 * w), hi(2 * w), row(w);
        std::size_t ahead = 0;  // the next row position to ask for
        for (std::size_t g = 0; g < counts_.size(); ++g) {
            const std::size_t m = offsets_[g + 1] - offsets_[g];
            if (skip_single && m == 1) continue;
            const std::uint32_t* rows = rows_.data() + offsets_[g];
            std::fill(state.begin(), state.end(), 0.0);
            for (std::size_t r = 0; r < m; ++r) {
                // The rows are read in an order the hardware cannot predict: ask for the ones a
                // few rows ahead (the memory latency, not the arithmetic, bounds this loop).
                const std::size_t here = offsets_[g] + r;
                for (ahead = std::max(ahead, here + 1); ahead < n && ahead <= here + prefetch_distance; ++ahead)
                    prefetch_row(rows_[ahead]);
                read_row(x_, y_, rows[r], row.data());
                add_entity_row(state.data(), row.data(), w);
            }
            entity_mean(state.data(), m, w, hi.data());
            f(g, rows, m, hi.data(), row.data());
        }
    }

    static constexpr std::size_t prefetch_distance = 16;
    void prefetch_row(std::size_t i) const {
        const double* xr = x_.data + static_cast<std::ptrdiff_t>(i) * x_.rs;
        const double* last = xr + static_cast<std::ptrdiff_t>(x_.cols - 1) * x_.cs;
        __builtin_prefetch(xr);
        __builtin_prefetch(last);
        __builtin_prefetch(y_.data + static_cast<std::ptrdiff_t>(i) * y_.stride);
    }

    // The per-entity means as a table (2w per entity), formed on first need when the sums were
    // taken entity by entity (only the guarded and factoring routes need it).
    const std::vector<double>& means() const {
        if (means_.empty() && !counts_.empty()) {
            means_.resize(counts_.size() * 2 * w_);
            for_each_entity(false, [&](std::size_t g, const std::uint32_t*, std::size_t, const double* hi, double*) { std::copy(hi, hi + 2 * w_, means_.data() + g * 2 * w_); });
        }
        return means_;
    }

    template <class Score>
    static void add_score(Matrix& meat, Score s) {
        const std::size_t k = meat.cols();
        for (std::size_t b = 0; b < k; ++b) {
            const double sb = s(b);
            for (std::size_t a = b; a < k; ++a) meat(a, b) += s(a) * sb;
        }
    }

    // Column lengths; squares leave double range when a sum of them overflows (an infinite
    // length) or when a column's magnitudes are so small that their products underflow. A NaN
    // or ±∞ in the data shows as a sum that is not finite.
    void note_lengths(const Vector& squares, const Vector& largest) {
        raw_norms.resize(w_);
        for (std::size_t j = 0; j < w_; ++j) {
            raw_norms[j] = std::sqrt(squares[j]);
            const bool tiny = largest[j] > 0 && largest[j] < std::ldexp(1.0, -450);
            out_of_range = out_of_range || !(raw_norms[j] <= std::ldexp(1.0, 500)) || tiny;
            finite = finite && std::isfinite(squares[j]);
        }
    }

    double value(std::size_t i, std::size_t j) const { return j + 1 < w_ ? x_(i, j) : y_[i]; }

    const MatView& x_;
    const VecView& y_;
    const Codes& codes_;
    std::size_t w_;
    std::vector<std::uint64_t> counts_;
    EntityIndex index_;
    bool grouped_ = false;
    bool far_ = false;  // the table is read ahead of its use
    mutable std::vector<double> qr_block_;  // stack_qr's copy of a block
    mutable std::vector<double> means_;  // per entity, hi then lo (each k + 1, y last): mean = hi + lo
    std::vector<std::uint32_t> offsets_;  // by entity: where its rows start in rows_ (G + 1)
    std::vector<std::uint32_t> rows_;     // the row numbers sorted by entity, each entity's in row order
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

// The finiteness of the data is read from the sums of squares the first pass forms; the data are
// scanned only when a sum is not finite (NaN, ±∞, or squares beyond double range) or when the fit
// fails before that pass, so that a NaN is named before any other failure.
Unexpected<Error> fail_unless_nan(const MatView& x, const VecView& y, std::string message) {
    if (!all_finite(x) || !all_finite(y)) return value_error("Input contains NaN or infinite values");
    return value_error(std::move(message));
}

Result<PanelFit> fit_panel(const MatView& x, const VecView& y, const IdView& entity_id, bool robust,
                           Workspace& ws) {
    const std::size_t n = x.rows, k = x.cols;
    Numbering entities = number_entities(entity_id, ws.codes.data());
    const std::size_t groups = entities.size();
    if (groups >= n)
        return fail_unless_nan(x, y,
                               "Insufficient degrees of freedom: number of entities must be less than number of observations");
    if (n <= groups + k) return fail_unless_nan(x, y, "Insufficient degrees of freedom for Fixed Effects estimation");

    Within w(x, y, ws.codes, std::move(entities));
    // The SVD route (n ≤ 2(G + k)) solves on the factor R of [x̃ | ỹ], formed in the Gram pass; the
    // guarded normal-equation route refines against the exact data row by row, so it takes the
    // demeaned rows themselves.
    const bool normal_route = n > routes.normal_above * (groups + k) && k < routes.normal_max_p;
    Matrix r;
    Matrix g = w.gram(normal_route ? nullptr : &r);  // [x̃ | ỹ]ᵀ[x̃ | ỹ]
    if (!w.finite && (!all_finite(x) || !all_finite(y))) return value_error("Input contains NaN or infinite values");
    if (w.out_of_range) return fit_rescaled(x, y, entity_id, robust, ws);
    // The rank of [entity dummies | x] is that of the demeaned columns judged against the raw
    // columns' lengths: a regressor that is an entity-level offset of another is collinear with
    // the effects even when its demeaned rounding residue looks like a column of its own.
    const Vector rank_norms(w.raw_norms.begin(), w.raw_norms.end() - 1);
    const GramBlocks blocks(g, k);
    const ExactWithin exact(w);
    Matrix xt;
    Vector yt;
    Problem problem(n, k, blocks.dtd, blocks.dty, [&](Problem& pb) {
        if (!normal_route) {
            pb.design = MatView{r.data(), k + 1, k, 1, static_cast<std::ptrdiff_t>(k + 1)};
            pb.target = VecView{r.col(k), k + 1, 1};
            return;
        }
        w.materialise(xt, yt);
        pb.design = xt.view();
        pb.target = view_of(yt);
    });
    problem.route_size = groups + k;
    problem.exact = &exact;
    problem.rank_norms = &rank_norms;
    auto sol = solve(std::move(problem), routes);
    if (!sol) return fail(std::move(sol.error()));
    xt = Matrix();
    yt = Vector();

    Matrix meat = robust ? Matrix::zeros(k, k) : Matrix();
    Vector& e = ws.e;
    Vector alpha;
    w.residuals(sol->beta, e.data(), alpha, robust ? &meat : nullptr);
    double ssr = 0;
    // The overall residuals y − xβ − α_g are the within residuals: α_g = ȳ_g − x̄_gᵀβ.
    const double r2 = clamp_r_squared(centred_r_squared(e, y, nullptr, &ssr));
    const double mse = ssr / static_cast<double>(n - groups - k);
    // The within R² around ỹ's mean (zero up to rounding), with its total sum of squares
    // Σỹ² − (Σỹ)²/n from the Gram pass; 0 when that is within rounding of a constant target, by
    // the rule centred_r_squared applies (TSS ≤ n·(4ε·max|ỹ|)²).
    const double tss = g(k, k) - w.target_sum * w.target_sum / static_cast<double>(n);
    const double noise = 4.0 * std::numeric_limits<double>::epsilon() * w.target_largest;
    const double within_r2 =
        clamp_r_squared(tss <= static_cast<double>(n) * noise * noise ? 0.0 : 1.0 - ssr / tss);
    const std::optional<Matrix> clustered =
        robust ? std::optional(sandwich(sol->bread, meat)) : std::nullopt;
    PanelFit fit{make_linear_fit(n, k, false, std::move(sol->beta), std::move(sol->r), std::move(e), mse, r2,
                                 classical_covariance(sol->bread, mse), clustered ? &*clustered : nullptr),
                 w.take_index(), std::move(alpha), within_r2, groups};
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
        if (!g) return value_error(unknown_entity_message(entity_id[i]));
        numbers[i] = static_cast<std::uint32_t>(*g);
    }
    return VectorOut{x.rows, [this, x, numbers = std::move(numbers)](double* out) {
                         gemv_update(x, state_->params.data(), 1.0, 0.0, out);
                         for (std::size_t i = 0; i < x.rows; ++i) out[i] += state_->effects[numbers[i]];
                     }};
}

// The entities are not subtracted: inference uses n − k.
std::uint64_t FE::df() const { return stats::residual_df(n_samples().value_or(0), n_features().value_or(0), false); }

Result<std::string> FE::named_summary(const stats::ReportNames* names) const {
    const stats::ReportLayout layout = stats::fe_layout(robust);
    stats::ReportInput in = inference::report_input(*this);
    in.within_r_squared = within_r_squared();
    if (state_)
        in.diagnostics = state_->diagnostics ? *state_->diagnostics
                                             : stats::DiagnosticStats::compute(view_of(state_->residuals),
                                                                               state_->condition_number());
    in.names = names;
    return stats::summary(layout, in);
}

std::string unknown_entity_message(std::int64_t id) {
    return "Unknown entity ID: " + std::to_string(id) + ". This entity was not present in training data.";
}

std::string FE::repr() const { return std::string("FE(robust=") + (robust ? "True" : "False") + ")"; }

}  // namespace kv
