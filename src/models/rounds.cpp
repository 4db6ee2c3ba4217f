// Accumulators of the chunked rounds. Within a chunk the rows are taken in sub-blocks that stay in
// cache (the products are the streamed passes' own), and each sub-block's statistics are merged
// into the running ones by the same formulas that merge two chunks.
#include "models/rounds.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "linalg/linalg.hpp"
#include "linalg/qr.hpp"
#include "models/double_double.hpp"
#include "models/linear/fit_utils.hpp"

namespace kv::rounds {

namespace {

constexpr std::size_t sub_block_rows = 4096;

// Rows [i0, i0 + m) of a row source (the views of the target and weights kept beside it).
struct Slice {
    VecView target, weights;
    RowSource rows;
};
VecView rows_of_view(const VecView& v, std::size_t i0, std::size_t m) {
    return VecView{v.data + static_cast<std::ptrdiff_t>(i0) * v.stride, m, v.stride};
}
Slice slice(const RowSource& src, std::size_t i0, std::size_t m) {
    Slice s;
    const auto at = static_cast<std::ptrdiff_t>(i0);
    if (src.target) s.target = rows_of_view(*src.target, i0, m);
    if (src.sqrt_weights) s.weights = rows_of_view(*src.sqrt_weights, i0, m);
    s.rows.x = MatView{src.x.data + at * src.x.rs, m, src.x.cols, src.x.rs, src.x.cs};
    s.rows.ones = src.ones;
    s.rows.weight_scale = src.weight_scale;
    if (src.x2.cols) s.rows.x2 = MatView{src.x2.data + at * src.x2.rs, m, src.x2.cols, src.x2.rs, src.x2.cs};
    return s;
}
// The slice's target and weights pointers point into the slice itself, which moves when returned.
RowSource rows_of(Slice& s, bool has_target, bool has_weights = false) {
    RowSource r = s.rows;
    r.target = has_target ? &s.target : nullptr;
    r.sqrt_weights = has_weights ? &s.weights : nullptr;
    return r;
}

void add_into(Matrix& to, const Matrix& from) {
    if (to.rows() == 0) {
        to = from;
        return;
    }
    for (std::size_t i = 0; i < to.rows() * to.cols(); ++i) to.data()[i] += from.data()[i];
}

void put(Vector& out, const Matrix& m) { out.insert(out.end(), m.data(), m.data() + m.rows() * m.cols()); }
Matrix take(const VecView& v, std::size_t& at, std::size_t rows, std::size_t cols) {
    Matrix m(rows, cols);
    for (std::size_t i = 0; i < rows * cols; ++i) m.data()[i] = v[at + i];
    at += rows * cols;
    return m;
}

// The R factor of `stacked` (rows × width, column-major), width × width upper triangular.
Matrix r_of(Matrix stacked) {
    Householder h;
    if (!householder_qr(std::move(stacked), h)) throw std::bad_alloc();
    return r_factor(h);
}

}  // namespace

// ---------------------------------------------------------------- moments

void Moments::add(const double* v, std::size_t m) {
    if (m == 0) return;
    Moments b;
    b.n = static_cast<double>(m);
    double sum = 0;
    for (std::size_t i = 0; i < m; ++i) sum += v[i];
    b.mean = sum / b.n;
    for (std::size_t i = 0; i < m; ++i) {
        const double c = v[i] - b.mean, c2 = c * c;
        b.m2 += c2;
        b.m3 += c2 * c;
        b.m4 += c2 * c2;
    }
    merge(b);
}

void Moments::merge(const Moments& b) {
    if (b.n == 0) return;
    if (n == 0) {
        *this = b;
        return;
    }
    const double na = n, nb = b.n, total = na + nb, d = b.mean - mean;
    const double d_n = d / total, d2 = d * d, nab = na * nb;
    const double m4_ = m4 + b.m4 + d2 * d2 * nab * (na * na - nab + nb * nb) / (total * total * total) +
                       6.0 * d2 * (na * na * b.m2 + nb * nb * m2) / (total * total) + 4.0 * d_n * (na * b.m3 - nb * m3);
    const double m3_ = m3 + b.m3 + d2 * d * nab * (na - nb) / (total * total) + 3.0 * d_n * (na * b.m2 - nb * m2);
    m2 = m2 + b.m2 + d2 * nab / total;
    m3 = m3_;
    m4 = m4_;
    mean += d * nb / total;
    n = total;
}

void WeightedMoments::add(const double* v, const double* weights, std::size_t m) {
    if (m == 0) return;
    WeightedMoments b;
    double sum = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const double wi = weights ? weights[i] : 1.0;
        b.w += wi;
        sum += wi * v[i];
    }
    b.mean = sum / b.w;
    double correction = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const double wi = weights ? weights[i] : 1.0, dev = v[i] - b.mean;
        b.m2 += wi * dev * dev;
        correction += wi * dev;
    }
    b.m2 -= correction * correction / b.w;  // the mean's own rounding taken out
    merge(b);
}

void WeightedMoments::merge(const WeightedMoments& b) {
    if (b.w == 0) return;
    if (w == 0) {
        *this = b;
        return;
    }
    const double total = w + b.w, d = b.mean - mean;
    m2 += b.m2 + d * d * (w * b.w / total);
    mean += d * (b.w / total);
    w = total;
}

// ---------------------------------------------------------------- chunk header and weights

void ChunkHeader::merge(const ChunkHeader& b) {
    if (b.rows_w > 0) {
        weight_lo = rows_w > 0 ? std::min(weight_lo, b.weight_lo) : b.weight_lo;
        weight_hi = rows_w > 0 ? std::max(weight_hi, b.weight_hi) : b.weight_hi;
    }
    rows_x += b.rows_x;
    rows_y += b.rows_y;
    rows_w += b.rows_w;
    rows_x2 += b.rows_x2;
    mismatch = std::max(mismatch, b.mismatch);
    bad_weight = std::max(bad_weight, b.bad_weight);
    non_finite = std::max(non_finite, b.non_finite);
    non_finite_target = std::max(non_finite_target, b.non_finite_target);
}

int weight_shift(int lo, int hi) { return -2 * ((lo + hi) / 4); }

// ---------------------------------------------------------------- the Gram round

void GramRound::add(const RowSource& src, const VecView* weights) {
    const std::size_t n = src.x.rows;
    ChunkHeader h;
    h.rows_x = static_cast<double>(n);
    h.rows_y = src.target ? static_cast<double>(src.target->size) : h.rows_x;
    h.rows_w = weights ? static_cast<double>(weights->size) : 0.0;
    h.rows_x2 = static_cast<double>(src.x2.rows);
    if (h.rows_y != h.rows_x || (weights && h.rows_w != h.rows_x) || (src.x2.cols && h.rows_x2 != h.rows_x)) {
        h.mismatch = 1;
        head.merge(h);
        return;
    }
    int own_shift = 0;
    if (weights && n > 0) {
        int lo = 0, hi = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double w = (*weights)[i];
            if (!(w > 0.0) || !std::isfinite(w)) {
                h.bad_weight = 1;
                head.merge(h);
                return;
            }
            int e = 0;
            std::frexp(w, &e);
            lo = i ? std::min(lo, e) : e;
            hi = i ? std::max(hi, e) : e;
        }
        h.weight_lo = lo;
        h.weight_hi = hi;
        own_shift = weight_shift(lo, hi);
    }
    // Rows scaled by √wᵢ·2^(shift/2) = √(wᵢ·2^shift) exactly, the shift being even.
    RowSource rows = src;
    rows.sqrt_weights = weights;
    rows.weight_scale = std::ldexp(1.0, own_shift / 2);
    GramRound b;
    b.gram = streamed_gram(rows);
    b.shift = own_shift;
    // A Gram that left double range is where a NaN or an infinity would show: only then is the chunk read
    // again to tell non-finite data from merely large data.
    if (gram_out_of_range(b.gram, std::max<std::size_t>(n, 1))) {
        h.non_finite = !all_finite(src.x) || (src.x2.cols && !all_finite(src.x2)) ? 1 : 0;
        h.non_finite_target = src.target && !all_finite(*src.target) ? 1 : 0;
    }
    b.head = h;
    merge(b);
}

void GramRound::merge(const GramRound& b) {
    if (b.gram.rows() == 0) {
        head.merge(b.head);
        return;
    }
    if (gram.rows() == 0) {
        const ChunkHeader mine = head;
        *this = b;
        head = mine;
        head.merge(b.head);
        return;
    }
    head.merge(b.head);
    // Both Grams brought to the shift of the merged weights' range: powers of two, exact.
    const int to = head.rows_w > 0 ? weight_shift(static_cast<int>(head.weight_lo), static_cast<int>(head.weight_hi))
                                   : 0;
    const std::size_t count = gram.rows() * gram.cols();
    for (std::size_t i = 0; i < count; ++i)
        gram.data()[i] = std::ldexp(gram.data()[i], to - shift) + std::ldexp(b.gram.data()[i], to - b.shift);
    shift = to;
}

Vector GramRound::pack() const {
    Vector v{head.rows_x,    head.rows_y,    head.rows_w,    head.mismatch,
             head.bad_weight, head.non_finite, head.weight_lo, head.weight_hi,
             head.rows_x2,   head.non_finite_target, static_cast<double>(shift), static_cast<double>(gram.rows())};
    put(v, gram);
    return v;
}

GramRound GramRound::unpack(const VecView& v) {
    GramRound g;
    g.head = ChunkHeader{v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9]};
    g.shift = static_cast<int>(v[10]);
    const auto width = static_cast<std::size_t>(v[11]);
    std::size_t at = 12;
    if (width) g.gram = take(v, at, width, width);
    return g;
}

// ---------------------------------------------------------------- double-double residuals

namespace {

using namespace dd;

// e[i] = y − [1 | x]β for the rows of `src`, each formed in double-double and then rounded, and
// g += Dᵀ(w ⊙ e) in double-double (w: the rows' weights, or null).
void exact_residuals(const RowSource& src, const double* beta, const double* w, double* e, std::vector<DD>& g) {
    const std::size_t k = src.x.cols, off = src.ones ? 1 : 0;
    for (std::size_t i = 0; i < src.x.rows; ++i) {
        DD r{(*src.target)[i], 0.0};
        if (src.ones) r = dd_add(r, DD{-beta[0], 0.0});
        for (std::size_t j = 0; j < k; ++j) r = dd_add(r, dd_mul(DD{-beta[off + j], 0.0}, src.x(i, j)));
        e[i] = r.hi + r.lo;
        if (w) r = dd_mul(r, w[i]);
        if (src.ones) g[0] = dd_add(g[0], r);
        for (std::size_t j = 0; j < k; ++j) g[off + j] = dd_add(g[off + j], dd_mul(r, src.x(i, j)));
    }
}

}  // namespace

// ---------------------------------------------------------------- the factor round

void FactorRound::add(const RowSource& src, const VecView* weights, int shift, const double* beta) {
    const std::size_t n = src.x.rows, width = src.width();
    if (r.rows() == 0) r = Matrix::zeros(width, width);
    const std::size_t p = width - 1, block = std::min(n, sub_block_rows);
    std::vector<double> packed(block * width), scale, w, residual(beta ? block : 0);
    std::vector<DD> g(beta ? p : 0);
    for (std::size_t j = 0; j < g.size(); ++j) g[j] = DD{j < grad_hi.size() ? grad_hi[j] : 0.0, j < grad_lo.size() ? grad_lo[j] : 0.0};
    for (std::size_t i0 = 0; i0 < n; i0 += sub_block_rows) {
        const std::size_t m = std::min(sub_block_rows, n - i0);
        Slice s = slice(src, i0, m);
        RowSource rows = rows_of(s, src.target != nullptr);
        if (weights) {
            scale.resize(m);
            w.resize(m);
            for (std::size_t i = 0; i < m; ++i) {
                w[i] = std::ldexp((*weights)[i0 + i], shift);
                scale[i] = std::sqrt(w[i]);
            }
        }
        if (beta) {
            exact_residuals(rows, beta, weights ? w.data() : nullptr, residual.data(), g);
            s.target = VecView{residual.data(), m, 1};
        }
        pack_rows(rows, 0, m, weights ? scale.data() : nullptr, packed.data());  // width × m: one row per column
        // [R; the block's rows] as a column-major (width + m) × width matrix, and its QR.
        Matrix stacked(width + m, width);
        for (std::size_t j = 0; j < width; ++j) {
            double* col = stacked.col(j);
            for (std::size_t i = 0; i < width; ++i) col[i] = r(i, j);
            for (std::size_t i = 0; i < m; ++i) col[width + i] = packed[i * width + j];
        }
        r = r_of(std::move(stacked));
    }
    rows += static_cast<double>(n);
    if (beta) {
        grad_hi.resize(p);
        grad_lo.resize(p);
        for (std::size_t j = 0; j < p; ++j) {
            grad_hi[j] = g[j].hi;
            grad_lo[j] = g[j].lo;
        }
    }
}

void FactorRound::merge(const FactorRound& b) {
    if (b.r.rows() == 0) return;
    if (r.rows() == 0) {
        *this = b;
        return;
    }
    const std::size_t width = r.rows();
    Matrix stacked(2 * width, width);
    for (std::size_t j = 0; j < width; ++j)
        for (std::size_t i = 0; i < width; ++i) {
            stacked(i, j) = r(i, j);
            stacked(width + i, j) = b.r(i, j);
        }
    r = r_of(std::move(stacked));
    rows += b.rows;
    for (std::size_t j = 0; j < grad_hi.size() && j < b.grad_hi.size(); ++j) {
        const dd::DD sum = dd::dd_add(dd::DD{grad_hi[j], grad_lo[j]}, dd::DD{b.grad_hi[j], b.grad_lo[j]});
        grad_hi[j] = sum.hi;
        grad_lo[j] = sum.lo;
    }
}

Vector FactorRound::pack() const {
    Vector v{rows, static_cast<double>(r.rows()), static_cast<double>(grad_hi.size())};
    put(v, r);
    v.insert(v.end(), grad_hi.begin(), grad_hi.end());
    v.insert(v.end(), grad_lo.begin(), grad_lo.end());
    return v;
}

FactorRound FactorRound::unpack(const VecView& v) {
    FactorRound f;
    f.rows = v[0];
    const auto width = static_cast<std::size_t>(v[1]), p = static_cast<std::size_t>(v[2]);
    std::size_t at = 3;
    if (width) f.r = take(v, at, width, width);
    for (std::size_t j = 0; j < p; ++j) {
        f.grad_hi.push_back(v[at + j]);
        f.grad_lo.push_back(v[at + p + j]);
    }
    return f;
}

// ---------------------------------------------------------------- the residual round

void ResidualRound::add(const RowSource& src, const VecView* weights, int shift, const double* beta, bool moments,
                        bool hc0) {
    const std::size_t n = src.x.rows, p = (src.ones ? 1 : 0) + src.x.cols;
    std::vector<double> e(std::min(n, sub_block_rows)), y(e.size()), w(weights ? e.size() : 0);
    Matrix part;
    for (std::size_t i0 = 0; i0 < n; i0 += sub_block_rows) {
        const std::size_t m = std::min(sub_block_rows, n - i0);
        Slice s = slice(src, i0, m);
        const RowSource rows = rows_of(s, true);
        streamed_residuals(rows, beta, e.data(), hc0 ? &part : nullptr);
        if (hc0) add_into(meat, part);
        if (weights)
            for (std::size_t i = 0; i < m; ++i) w[i] = std::ldexp((*weights)[i0 + i], shift);
        for (std::size_t i = 0; i < m; ++i) y[i] = s.target[i];
        fold(e.data(), y.data(), weights ? w.data() : nullptr, m, moments);
    }
    if (hc0 && meat.rows() == 0) meat = Matrix::zeros(p, p);
}

void ResidualRound::fold(const double* e, const double* y, const double* w, std::size_t m, bool moments) {
    if (m == 0) return;
    ResidualRound b;
    for (std::size_t i = 0; i < m; ++i) {
        b.target_max = std::max(b.target_max, std::fabs(y[i]));
        b.ssr += e[i] * e[i];
        b.wssr += (w ? w[i] : 1.0) * e[i] * e[i];
    }
    b.target.add(y, w, m);
    if (moments) {
        b.residual.add(e, m);
        for (std::size_t i = 1; i < m; ++i) b.dw += (e[i] - e[i - 1]) * (e[i] - e[i - 1]);
        b.first = e[0];
        b.last = e[m - 1];
    }
    b.rows = static_cast<double>(m);
    Matrix kept = std::move(meat);
    merge(b);
    meat = std::move(kept);
}

void ResidualRound::merge(const ResidualRound& b) {
    if (b.rows == 0) {
        if (meat.rows() == 0) meat = b.meat;
        return;
    }
    if (rows == 0) {
        Matrix mine = std::move(meat);
        *this = b;
        if (meat.rows() == 0) meat = std::move(mine);
        return;
    }
    ssr += b.ssr;
    wssr += b.wssr;
    target_max = std::max(target_max, b.target_max);
    target.merge(b.target);
    residual.merge(b.residual);
    dw += b.dw + (b.first - last) * (b.first - last);
    last = b.last;
    if (b.meat.rows()) add_into(meat, b.meat);
    rows += b.rows;
}

Vector ResidualRound::pack() const {
    Vector v{rows,          ssr,           wssr,          target_max,    target.w,     target.mean,
             target.m2,     residual.n,    residual.mean, residual.m2,   residual.m3,  residual.m4,
             dw,            first,         last,          static_cast<double>(meat.rows())};
    put(v, meat);
    return v;
}

ResidualRound ResidualRound::unpack(const VecView& v, std::size_t) {
    ResidualRound r;
    r.rows = v[0];
    r.ssr = v[1];
    r.wssr = v[2];
    r.target_max = v[3];
    r.target = WeightedMoments{v[4], v[5], v[6]};
    r.residual = Moments{v[7], v[8], v[9], v[10], v[11]};
    r.dw = v[12];
    r.first = v[13];
    r.last = v[14];
    const auto p = static_cast<std::size_t>(v[15]);
    std::size_t at = 16;
    if (p) r.meat = take(v, at, p, p);
    return r;
}

double ResidualRound::r_squared() const {
    const double noise = 4.0 * std::numeric_limits<double>::epsilon() * target_max;
    if (target.m2 <= target.w * noise * noise) return 0.0;
    return 1.0 - wssr / target.m2;
}

stats::DiagnosticStats ResidualRound::diagnostics(double condition_number) const {
    return stats::DiagnosticStats::from_sums(static_cast<std::size_t>(residual.n), residual.m2, residual.m3,
                                             residual.m4, ssr, dw, condition_number);
}

// ---------------------------------------------------------------- data near the ends of double range

void RangeRound::add(const RowSource& src) {
    const std::size_t k = src.x.cols;
    if (largest.empty()) largest.assign(k + 1, 0.0);
    for (std::size_t i = 0; i < src.x.rows; ++i) {
        for (std::size_t j = 0; j < k; ++j) largest[j] = std::max(largest[j], std::fabs(src.x(i, j)));
        largest[k] = std::max(largest[k], std::fabs((*src.target)[i]));
    }
}

void RangeRound::merge(const RangeRound& b) {
    if (largest.empty()) {
        largest = b.largest;
        return;
    }
    for (std::size_t j = 0; j < largest.size() && j < b.largest.size(); ++j)
        largest[j] = std::max(largest[j], b.largest[j]);
}

RangeRound RangeRound::unpack(const VecView& v) { return RangeRound{to_vector(v)}; }

Vector RangeRound::scales(bool intercept) const {
    Vector c = scales_of_largest(largest);
    if (intercept) c.insert(c.begin(), 1.0);
    return c;
}

void for_scaled_blocks(const RowSource& src, const Vector& c, const std::function<void(const RowSource&)>& fn) {
    const std::size_t n = src.x.rows, k = src.x.cols, off = src.ones ? 1 : 0;
    std::vector<double> xb(std::min(n, sub_block_rows) * k), yb(std::min(n, sub_block_rows));
    for (std::size_t i0 = 0; i0 < n; i0 += sub_block_rows) {
        const std::size_t m = std::min(sub_block_rows, n - i0);
        for (std::size_t i = 0; i < m; ++i) {
            for (std::size_t j = 0; j < k; ++j) xb[i * k + j] = src.x(i0 + i, j) * c[off + j];
            yb[i] = (*src.target)[i0 + i] * c[off + k];
        }
        const VecView y{yb.data(), m, 1};
        const VecView w = src.sqrt_weights ? rows_of_view(*src.sqrt_weights, i0, m) : VecView{};
        RowSource rows{MatView{xb.data(), m, k, static_cast<std::ptrdiff_t>(k), 1}, &y, src.ones};
        rows.sqrt_weights = src.sqrt_weights ? &w : nullptr;
        rows.weight_scale = src.weight_scale;
        fn(rows);
    }
}

bool needs_rescale(const GramRound& g) {
    if (g.head.non_finite || g.head.non_finite_target) return false;
    const double tiny = std::ldexp(std::max(g.head.rows_x, 1.0), -900);
    for (std::size_t j = 0; j < g.gram.rows(); ++j) {
        const double d = g.gram(j, j);
        if (!(std::fabs(d) < HUGE_VAL) || (d > 0 && d < tiny)) return true;
    }
    return false;
}

Status check_range(const GramRound& g, bool target_checked) {
    if (g.head.non_finite || (target_checked && g.head.non_finite_target))
        return value_error("Input contains NaN or infinite values");
    if (g.head.non_finite_target) return {};  // carried into the results, as in memory
    if (needs_rescale(g))
        return value_error("Data whose squares leave double range cannot be fitted over chunks by this estimator: "
                           "rescale the columns, or fit them in memory");
    return {};
}

bool refine(Solution& sol, const FactorRound& f) {
    const std::size_t p = sol.beta.size();
    if (f.r.rows() != p + 1 || f.grad_hi.size() != p) return false;
    const double kappa = scaled_condition(sol.r);
    if (kappa * kappa * std::numeric_limits<double>::epsilon() < 0.01) {
        Vector g(p);
        for (std::size_t j = 0; j < p; ++j) g[j] = f.grad_hi[j] + f.grad_lo[j];
        const Vector delta = matvec(sol.bread.view(), g.data());
        for (std::size_t j = 0; j < p; ++j) sol.beta[j] += delta[j];
        return true;
    }
    Vector delta(f.r.col(p), f.r.col(p) + p);
    for (std::size_t j = p; j-- > 0;) {  // back substitution with the leading p × p block
        double v = delta[j];
        for (std::size_t l = j + 1; l < p; ++l) v -= f.r(j, l) * delta[l];
        if (f.r(j, j) == 0.0) return false;
        delta[j] = v / f.r(j, j);
    }
    for (std::size_t j = 0; j < p; ++j) sol.beta[j] += delta[j];
    return true;
}

namespace {
struct DesignWanted {};
}  // namespace

Result<std::optional<Solution>> solve_merged(std::size_t n, std::size_t p, const GramRound& gram,
                                             const FactorRound* factor, const RoutePolicy& policy,
                                             std::size_t route_size, const Vector* rank_norms) {
    const GramBlocks blocks(gram.gram, p);
    Vector target;
    auto from_factor = [&](Problem& pb) {
        if (!factor) throw DesignWanted{};
        const Matrix& r = factor->r;
        target.assign(r.col(p), r.col(p) + p);
        pb.design = MatView{r.data(), p, p, 1, static_cast<std::ptrdiff_t>(r.rows())};
        pb.target = view_of(target);
    };
    try {
        Problem problem(n, p, blocks.dtd, blocks.dty, from_factor);
        problem.route_size = route_size;
        problem.rank_norms = rank_norms;
        auto sol = solve(std::move(problem), policy);
        if (!sol) return fail(std::move(sol.error()));
        return std::optional<Solution>(std::move(*sol));
    } catch (const DesignWanted&) {
        return std::optional<Solution>();
    }
}

}  // namespace kv::rounds
