// FE's chunk rounds, and FE's solve and commit over them.
#include "models/panel_data/fe_rounds.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "linalg/lapack.hpp"
#include "models/covariance.hpp"
#include "models/double_double.hpp"
#include "models/linear/fit_utils.hpp"
#include "models/panel_data/fe.hpp"

namespace kv::rounds {

namespace {

constexpr std::size_t block_rows_within = 2048;

void add_matrix(Matrix& to, const Matrix& from) {
    if (from.rows() == 0) return;
    if (to.rows() == 0) {
        to = from;
        return;
    }
    for (std::size_t i = 0; i < to.rows() * to.cols(); ++i) to.data()[i] += from.data()[i];
}

}  // namespace

EntityIndex index_of(const IdView& ids) {
    EntityIndex index;
    if (ids.size == 0) return index;
    std::int64_t lo = ids[0], hi = lo;
    for (std::size_t g = 1; g < ids.size; ++g) {
        lo = std::min(lo, ids[g]);
        hi = std::max(hi, ids[g]);
    }
    const std::uint64_t range = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
    if (range < 4 * static_cast<std::uint64_t>(ids.size) + (std::uint64_t{1} << 20)) {
        std::vector<std::uint32_t> table(range + 1, EntityIndex::unseen);
        for (std::size_t g = 0; g < ids.size; ++g)
            table[static_cast<std::uint64_t>(ids[g]) - static_cast<std::uint64_t>(lo)] = static_cast<std::uint32_t>(g);
        return EntityIndex::direct(lo, std::move(table), ids.size);
    }
    for (std::size_t g = 0; g < ids.size; ++g) index.number_of(ids[g]);  // numbers given in order: g
    return index;
}

bool code_rows(const IdView& ids, const EntityIndex& index, std::uint32_t* codes, std::int64_t& unknown) {
    for (std::size_t i = 0; i < ids.size; ++i) {
        const auto g = index.find(ids[i]);
        if (!g) {
            unknown = ids[i];
            return false;
        }
        codes[i] = static_cast<std::uint32_t>(*g);
    }
    return true;
}

// ---------------------------------------------------------------- the within round

void WithinRound::add(const MatView& x, const VecView& y, const std::uint32_t* codes, const double* means,
                      bool with_factor, const double* beta) {
    const std::size_t n = x.rows, w = x.cols + 1, k = x.cols;
    if (gram.rows() == 0) gram = Matrix::zeros(w, w);
    if (with_factor && factor.r.rows() == 0) factor.r = Matrix::zeros(w, w);
    if (beta && factor.grad_hi.empty()) factor.grad_hi.assign(k, 0.0), factor.grad_lo.assign(k, 0.0);
    std::vector<double> buf(std::min(n, block_rows_within) * w);
    for (std::size_t i0 = 0; i0 < n; i0 += block_rows_within) {
        const std::size_t m = std::min(block_rows_within, n - i0);
        demean_rows(x, y, codes, means, i0, m, buf.data());  // column-major w × m: one demeaned row per column
        for (std::size_t i = 0; i < m; ++i) {
            const double v = buf[i * w + k];
            target_sum += v;
            target_largest = std::max(target_largest, std::fabs(v));
        }
        KV_BLAS(cblas_dsyrk)(KV_CblasColMajor, KV_CblasLower, KV_CblasNoTrans, checked_int(w), checked_int(m), 1.0,
                             buf.data(), checked_int(w), 1.0, gram.data(), checked_int(w));
        if (beta) refine_block(x, y, codes, means, beta, i0, m, buf.data());
        if (with_factor) {
            // The block's rows as a chunk of their own: its R merged into the running one.
            FactorRound b;
            const MatView rows{buf.data(), m, k, static_cast<std::ptrdiff_t>(w), 1};
            const VecView target{buf.data() + k, m, static_cast<std::ptrdiff_t>(w)};
            b.add(RowSource{rows, &target, false}, nullptr, 0);
            factor.merge(b);
        }
    }
    for (std::size_t j = 0; j < w; ++j)
        for (std::size_t i = j + 1; i < w; ++i) gram(j, i) = gram(i, j);
    rows += static_cast<double>(n);
}

void WithinRound::refine_block(const MatView& x, const VecView& y, const std::uint32_t* codes, const double* means,
                               const double* beta, std::size_t i0, std::size_t m, double* buf) {
    using namespace dd;
    const std::size_t k = x.cols, w = k + 1;
    std::vector<DD> d(k);  // the row's exact differences x − mean
    for (std::size_t i = 0; i < m; ++i) {
        const double* hi = means + static_cast<std::size_t>(codes[i0 + i]) * 2 * w;
        const double* lo = hi + w;
        // ỹ − x̃β with every difference v − (hi + lo) exact in double-double.
        DD r = dd_add(two_sum(y[i0 + i], -hi[k]), DD{-lo[k], 0.0});
        for (std::size_t j = 0; j < k; ++j) {
            d[j] = dd_add(two_sum(x(i0 + i, j), -hi[j]), DD{-lo[j], 0.0});
            r = dd_add(r, dd_mul(d[j], -beta[j]));
        }
        double* row = buf + i * w;
        for (std::size_t j = 0; j < k; ++j) {
            const DD g = dd_add(DD{factor.grad_hi[j], factor.grad_lo[j]}, dd_mul(r, d[j]));
            factor.grad_hi[j] = g.hi;
            factor.grad_lo[j] = g.lo;
        }
        row[k] = r.hi + r.lo;  // the block's target column becomes the residual
    }
}

void WithinRound::merge(const WithinRound& b) {
    rows += b.rows;
    target_sum += b.target_sum;
    target_largest = std::max(target_largest, b.target_largest);
    add_matrix(gram, b.gram);
    factor.merge(b.factor);
}

Vector WithinRound::pack() const {
    Vector v{rows, target_sum, target_largest, static_cast<double>(gram.rows())};
    v.insert(v.end(), gram.data(), gram.data() + gram.rows() * gram.cols());
    const Vector f = factor.pack();
    v.insert(v.end(), f.begin(), f.end());
    return v;
}

WithinRound WithinRound::unpack(const VecView& v) {
    WithinRound r;
    r.rows = v[0];
    r.target_sum = v[1];
    r.target_largest = v[2];
    const auto w = static_cast<std::size_t>(v[3]);
    std::size_t at = 4;
    if (w) {
        r.gram = Matrix(w, w);
        for (std::size_t i = 0; i < w * w; ++i) r.gram.data()[i] = v[at + i];
        at += w * w;
    }
    r.factor = FactorRound::unpack(VecView{v.data + static_cast<std::ptrdiff_t>(at) * v.stride, v.size - at, v.stride});
    return r;
}

// ---------------------------------------------------------------- the residual round

void PanelResidualRound::add(const MatView& x, const VecView& y, const std::uint32_t* codes, const double* means,
                             const double* beta, bool moments, bool with_scores, double* e_out) {
    const std::size_t n = x.rows, w = x.cols + 1;
    PanelResidualRound chunk;
    chunk.k = k = x.cols;
    std::vector<double> buf(std::min(n, block_rows_within) * w), e(std::min(n, block_rows_within)), yb(e.size());
    std::unordered_map<std::uint32_t, std::size_t> slot;  // entity number → its place in `seen`
    std::vector<std::uint32_t> seen;
    std::vector<double> acc;
    for (std::size_t i0 = 0; i0 < n; i0 += block_rows_within) {
        const std::size_t m = std::min(block_rows_within, n - i0);
        demean_rows(x, y, codes, means, i0, m, buf.data());
        for (std::size_t i = 0; i < m; ++i) {
            const double* row = buf.data() + i * w;
            double fit = 0;
            for (std::size_t j = 0; j < k; ++j) fit += row[j] * beta[j];
            e[i] = row[k] - fit;
            yb[i] = y[i0 + i];
            if (with_scores) {
                auto [it, fresh] = slot.try_emplace(codes[i0 + i], seen.size());
                if (fresh) {
                    seen.push_back(codes[i0 + i]);
                    acc.resize(acc.size() + k, 0.0);
                }
                double* s = acc.data() + it->second * k;
                for (std::size_t j = 0; j < k; ++j) s[j] += e[i] * row[j];
            }
        }
        if (e_out) std::copy(e.begin(), e.begin() + static_cast<std::ptrdiff_t>(m), e_out + i0);
        chunk.sums.fold(e.data(), yb.data(), nullptr, m, moments);
    }
    // The chunk's scores in ascending entity numbers, the order merges keep.
    std::vector<std::size_t> order(seen.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return seen[a] < seen[b]; });
    for (std::size_t i : order) {
        chunk.entities.push_back(seen[i]);
        chunk.scores.insert(chunk.scores.end(), acc.begin() + static_cast<std::ptrdiff_t>(i * k),
                            acc.begin() + static_cast<std::ptrdiff_t>((i + 1) * k));
    }
    merge(chunk);
}

void PanelResidualRound::merge(const PanelResidualRound& b) {
    sums.merge(b.sums);
    if (b.entities.empty()) return;
    k = b.k;
    std::vector<std::uint32_t> ents;
    std::vector<double> sc;
    std::size_t a = 0, c = 0;
    while (a < entities.size() || c < b.entities.size()) {
        const bool take_a = c == b.entities.size() || (a < entities.size() && entities[a] <= b.entities[c]);
        const bool both = take_a && c < b.entities.size() && a < entities.size() && entities[a] == b.entities[c];
        ents.push_back(take_a ? entities[a] : b.entities[c]);
        for (std::size_t j = 0; j < k; ++j) {
            double v = take_a ? scores[a * k + j] : b.scores[c * k + j];
            if (both) v += b.scores[c * k + j];
            sc.push_back(v);
        }
        if (take_a) ++a;
        if (both || !take_a) ++c;
    }
    entities = std::move(ents);
    scores = std::move(sc);
}

Vector PanelResidualRound::pack() const {
    const Vector s = sums.pack();
    Vector v{static_cast<double>(s.size()), static_cast<double>(k), static_cast<double>(entities.size())};
    v.insert(v.end(), s.begin(), s.end());
    for (std::uint32_t g : entities) v.push_back(static_cast<double>(g));
    v.insert(v.end(), scores.begin(), scores.end());
    return v;
}

PanelResidualRound PanelResidualRound::unpack(const VecView& v) {
    PanelResidualRound r;
    const auto ns = static_cast<std::size_t>(v[0]), groups = static_cast<std::size_t>(v[2]);
    r.k = static_cast<std::size_t>(v[1]);
    r.sums = ResidualRound::unpack(VecView{v.data + 3 * v.stride, ns, v.stride}, 0);
    std::size_t at = 3 + ns;
    for (std::size_t g = 0; g < groups; ++g) r.entities.push_back(static_cast<std::uint32_t>(v[at + g]));
    at += groups;
    for (std::size_t i = 0; i < groups * r.k; ++i) r.scores.push_back(v[at + i]);
    return r;
}

}  // namespace kv::rounds

namespace kv {

Status FE::check_rounds(std::size_t rows_x, std::size_t k, std::size_t rows_y, std::size_t rows_ids,
                        const EntitySums& sums, bool non_finite) const {
    if (rows_x * k == 0 || rows_y == 0 || rows_ids == 0) return value_error("Input arrays cannot be empty");
    if (rows_y != rows_x || rows_ids != rows_x)
        return value_error("Array length mismatch: X has " + std::to_string(rows_x) + " rows, y has " +
                           std::to_string(rows_y) + " elements, entity_id has " + std::to_string(rows_ids) +
                           " elements");
    if (auto limit = check_lapack_limits(rows_x, k); !limit.ok()) return limit;
    if (non_finite) return value_error("Input contains NaN or infinite values");
    const std::size_t groups = sums.entities();
    if (groups >= rows_x)
        return value_error("Insufficient degrees of freedom: number of entities must be less than number of observations");
    if (rows_x <= groups + k) return value_error("Insufficient degrees of freedom for Fixed Effects estimation");
    for (std::size_t j = 0; j < sums.width(); ++j) {
        const double len = std::sqrt(sums.squares()[j]), big = sums.largest()[j];
        if (!(len <= std::ldexp(1.0, 500)) || (big > 0 && big < std::ldexp(1.0, -450)))
            return value_error("Data whose squares leave double range cannot be fitted over chunks by this estimator: "
                               "rescale the columns, or fit them in memory");
    }
    return {};
}

bool FE::factor_route(std::size_t n, std::size_t k, std::size_t groups) {
    return !(n > matrix_routes.normal_above * (groups + k) && k < matrix_routes.normal_max_p);
}

Result<std::optional<Solution>> FE::solve_rounds(const EntitySums& sums, const rounds::WithinRound& within) const {
    const std::size_t n = static_cast<std::size_t>(within.rows), k = sums.width() - 1, groups = sums.entities();
    Vector rank_norms(k);
    for (std::size_t j = 0; j < k; ++j) rank_norms[j] = std::sqrt(sums.squares()[j]);
    rounds::GramRound gram;
    gram.gram = within.gram;
    gram.head.rows_x = within.rows;
    return rounds::solve_merged(n, k, gram, within.factor.r.rows() ? &within.factor : nullptr, matrix_routes,
                                groups + k, &rank_norms);
}

Status FE::commit_rounds(EntitySums sums, Solution sol, const rounds::WithinRound& within,
                         const rounds::PanelResidualRound& round) {
    const std::size_t n = static_cast<std::size_t>(within.rows), k = sums.width() - 1, w = k + 1,
                      groups = sums.entities();
    const double ssr = round.sums.ssr;
    const double r2 = clamp_r_squared(round.sums.r_squared());
    const double mse = ssr / static_cast<double>(n - groups - k);
    const double tss = within.gram(k, k) - within.target_sum * within.target_sum / static_cast<double>(n);
    const double noise = 4.0 * std::numeric_limits<double>::epsilon() * within.target_largest;
    const double within_r2 = clamp_r_squared(tss <= static_cast<double>(n) * noise * noise ? 0.0 : 1.0 - ssr / tss);
    std::optional<Matrix> clustered;
    if (robust) {
        Matrix meat = Matrix::zeros(k, k);
        for (std::size_t e = 0; e < round.entities.size(); ++e) {
            const double* s = round.scores.data() + e * k;
            for (std::size_t b = 0; b < k; ++b)
                for (std::size_t a = b; a < k; ++a) meat(a, b) += s[a] * s[b];
        }
        for (std::size_t j = 0; j < k; ++j)
            for (std::size_t i = j + 1; i < k; ++i) meat(j, i) = meat(i, j);
        clustered = sandwich(sol.bread, meat);
    }
    const std::vector<double> means = sums.means();
    Vector alpha(groups);
    for (std::size_t g = 0; g < groups; ++g) {
        const double* hi = means.data() + g * 2 * w;
        long double a = static_cast<long double>(hi[k]) + hi[w + k];
        for (std::size_t j = 0; j < k; ++j) a -= (static_cast<long double>(hi[j]) + hi[w + j]) * sol.beta[j];
        alpha[g] = static_cast<double>(a);
    }
    PanelFit fit{make_linear_fit(n, k, false, std::move(sol.beta), std::move(sol.r), Vector{}, mse, r2,
                                 classical_covariance(sol.bread, mse), clustered ? &*clustered : nullptr),
                 std::move(sums.index()), std::move(alpha), within_r2, groups};
    fit.diagnostics = round.sums.diagnostics(fit.condition_number());
    state_ = std::move(fit);
    return {};
}

}  // namespace kv
