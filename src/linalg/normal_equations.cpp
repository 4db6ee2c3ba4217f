// Guarded least squares through the normal equations.
//
// Fast route: the columns are equilibrated by powers of two (exact, so the result is
// bit-for-bit that of the unscaled Cholesky and an exact zero pivot still means exact
// singularity), S·DᵀD·S = L·Lᵀ is factored, and dpocon estimates its reciprocal condition
// number in O(p²). Above `min_normal_rcond` the normal equations keep enough digits and
// their solution is returned as is.
//
// Guarded route, taken when the estimate is below the threshold or the Cholesky factor
// does not exist: Householder QR of the scaled design D·S, the solution from R, then two
// steps of iterative refinement of the augmented system r + D·x = y, Dᵀr = 0 with
// residuals accumulated in long double (this corrects x and r together, which matters for
// large-residual problems), and the covariance from R⁻¹R⁻ᵀ.
//
// Rank: a design whose column-scaled condition number exceeds 1/rank_tolerance is refused
// (RankDeficient), whichever route runs. The fast route's estimate already proves full rank
// (κ ≲ 10³); the guarded route judges the singular values of its R, and the SVD route those
// of the scaled design itself. A rank-deficient design has no unique answer, and the vector
// a factorisation produces for it is arbitrary, so none is reported.
#include "linalg/normal_equations.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "linalg/lapack.hpp"
#include "linalg/linalg.hpp"
#include "linalg/qr.hpp"

namespace kv {

namespace {

// The normal equations lose about log10(1/rcond(DᵀD)) digits normwise, and more in the small
// coefficients of a large-residual problem (an entity-demeaned Wampler 5 keeps six digits at
// rcond 4e-7). Below this estimate, a scaled design condition number beyond about 1000, the
// orthogonal route takes over.
constexpr double min_normal_rcond = 1e-6;

Vector power_of_two_scales(const Matrix& gram) {
    const std::size_t p = gram.rows();
    Vector s(p, 1.0);
    for (std::size_t j = 0; j < p; ++j) {
        const double d = gram(j, j);
        if (d > 0 && std::isfinite(d)) {
            int e = 0;
            std::frexp(std::sqrt(d), &e);
            s[j] = std::ldexp(1.0, -e);
        }
    }
    return s;
}

// One right-hand side of the guarded route: QR solution plus refinement of (r, x). The
// residuals of the augmented system are accumulated in long double, from the exact data when
// the caller has it and from the scaled design otherwise.
bool refine_solution(const Householder& h, const Matrix& ds, const double* y, double* x, const Vector& s,
                     const ExactData* exact, std::size_t column) {
    const std::size_t n = ds.rows(), p = ds.cols();
    Vector c(y, y + n);
    if (!apply_q(h, 'T', c.data())) return false;
    std::copy(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(p), x);
    if (!solve_r(h, 'N', x)) return false;

    auto d = [&](std::size_t i, std::size_t j) -> long double {
        return exact ? exact->design(i, j) * static_cast<long double>(s[j]) : static_cast<long double>(ds(i, j));
    };
    auto target = [&](std::size_t i) -> long double {
        return exact ? exact->target(i, column) : static_cast<long double>(y[i]);
    };
    std::vector<long double> acc(n);
    Vector r(n);
    for (std::size_t i = 0; i < n; ++i) acc[i] = target(i);
    for (std::size_t j = 0; j < p; ++j) {
        const long double xj = x[j];
        for (std::size_t i = 0; i < n; ++i) acc[i] -= d(i, j) * xj;
    }
    for (std::size_t i = 0; i < n; ++i) r[i] = static_cast<double>(acc[i]);

    Vector f(n), g(p), dr(n);
    for (int step = 0; step < 2; ++step) {
        // f = y − r − D·x and g = −Dᵀr.
        for (std::size_t i = 0; i < n; ++i) acc[i] = target(i) - r[i];
        for (std::size_t j = 0; j < p; ++j) {
            const long double xj = x[j];
            long double gj = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const long double dij = d(i, j);
                acc[i] -= dij * xj;
                gj -= dij * r[i];
            }
            g[j] = static_cast<double>(gj);
        }
        for (std::size_t i = 0; i < n; ++i) f[i] = static_cast<double>(acc[i]);
        // Augmented correction with D = Q·[R; 0]: Rᵀh = g, d = Qᵀf, dx = R⁻¹(d₁ − h), dr = Q·[h; d₂].
        if (!solve_r(h, 'T', g.data())) return false;
        if (!apply_q(h, 'T', f.data())) return false;
        Vector dx(p);
        for (std::size_t j = 0; j < p; ++j) dx[j] = f[j] - g[j];
        if (!solve_r(h, 'N', dx.data())) return false;
        std::copy(g.begin(), g.end(), dr.begin());
        std::copy(f.begin() + static_cast<std::ptrdiff_t>(p), f.end(), dr.begin() + static_cast<std::ptrdiff_t>(p));
        if (!apply_q(h, 'N', dr.data())) return false;
        for (std::size_t j = 0; j < p; ++j) x[j] += dx[j];
        for (std::size_t i = 0; i < n; ++i) r[i] += dr[i];
    }
    return true;
}

// (RᵀR)⁻¹ = R⁻¹R⁻ᵀ from the QR factor.
bool covariance_from_r(const Householder& h, Matrix& v) {
    const std::size_t p = h.qr.cols();
    Matrix rinv = Matrix::identity(p);
    const lapack_int n = checked_int(p), lda = checked_int(h.qr.rows());
    const char uplo = 'U', trans = 'N', diag = 'N';
    lapack_int info = 0;
    KV_BLAS(dtrtrs_)(&uplo, &trans, &diag, &n, &n, h.qr.data(), &lda, rinv.data(), &n, &info, 1, 1, 1);
    if (info != 0) return false;
    v = Matrix::zeros(p, p);
    KV_BLAS(cblas_dsyrk)(KV_CblasColMajor, KV_CblasLower, KV_CblasNoTrans, n, n, 1.0, rinv.data(), n, 0.0, v.data(),
                         n);
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t i = j + 1; i < p; ++i) v(j, i) = v(i, j);
    return true;
}

// Column multipliers that turn the scaled design's R into the one the rank rule judges: the
// design's columns divided by `rank_norms` (R itself is of D·diag(s)); null means unit length.
std::optional<Vector> rank_weights(const Vector& s, const Vector* rank_norms) {
    if (!rank_norms) return std::nullopt;
    Vector w(s.size());
    for (std::size_t j = 0; j < s.size(); ++j) w[j] = 1.0 / (s[j] * (*rank_norms)[j]);
    return w;
}

// QR of the power-of-two scaled design D·S, or nothing when LAPACK cannot take it.
std::optional<Householder> scaled_qr(const MatView& design, const Vector& s) {
    const std::size_t n = design.rows, p = design.cols;
    if (n < p || !fits_lapack(n * p)) return std::nullopt;
    Matrix ds = to_matrix(design);  // the scaled copy QR overwrites; only the rare routes pay for it
    for (std::size_t j = 0; j < p; ++j) {
        double* col = ds.col(j);
        for (std::size_t i = 0; i < n; ++i) col[i] *= s[j];
    }
    Householder h;
    if (!householder_qr(std::move(ds), h)) return std::nullopt;
    return h;
}

bool rank_ok(const Householder& h, const Vector& s, const Vector* rank_norms) {
    const auto w = rank_weights(s, rank_norms);
    return full_rank(scaled_condition(r_factor(h), w ? &*w : nullptr));
}

Expected<NormalSolution, NormalStep> guarded_solution(const MatView& design, const MatView& rhs, const Vector& s,
                                                      const ExactData* exact, const Vector* rank_norms) {
    const std::size_t p = design.cols, r = rhs.cols, n = design.rows;
    auto qr = scaled_qr(design, s);
    if (!qr) return fail(NormalStep::Factor);
    const Householder& h = *qr;
    if (!rank_ok(h, s, rank_norms)) return fail(NormalStep::RankDeficient);
    // The refinement reads the scaled design again; it is the matrix QR consumed, rebuilt.
    Matrix ds = to_matrix(design);
    for (std::size_t j = 0; j < p; ++j) {
        double* col = ds.col(j);
        for (std::size_t i = 0; i < n; ++i) col[i] *= s[j];
    }
    NormalSolution out;
    out.r = r_factor(h);
    out.beta = Matrix(p, r);
    Vector y(n);
    for (std::size_t c = 0; c < r; ++c) {
        for (std::size_t i = 0; i < n; ++i) y[i] = rhs(i, c);
        if (!refine_solution(h, ds, y.data(), out.beta.col(c), s, exact, c)) return fail(NormalStep::Factor);
        for (std::size_t j = 0; j < p; ++j) out.beta(j, c) *= s[j];
    }
    if (!covariance_from_r(h, out.xtx_inverse)) return fail(NormalStep::InverseForward);
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t i = 0; i < p; ++i) out.xtx_inverse(i, j) *= s[i] * s[j];
    return out;
}

// S·DᵀD·S with power-of-two S, its Cholesky factor when one exists, and whether the normal
// equations keep enough digits (the fast route).
struct ScaledGram {
    Vector s;
    Matrix as;
    std::optional<Matrix> l;
    bool well_conditioned = false;
};

ScaledGram scale_and_factor(const Matrix& gram) {
    const std::size_t p = gram.rows();
    ScaledGram g{power_of_two_scales(gram), gram, std::nullopt, false};
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t i = 0; i < p; ++i) g.as(i, j) *= g.s[i] * g.s[j];
    if (auto l = cholesky_lower(g.as)) {
        g.well_conditioned = cholesky_reciprocal_condition(*l, g.as) >= min_normal_rcond;
        g.l = std::move(*l);
    }
    return g;
}

// On the fast route the design is within about 10³·√p of orthogonal after scaling by its own
// column lengths; judged against other lengths it can only be worse by their spread, which is
// checked on R = Lᵀ only when that spread could carry it past the rank tolerance.
Matrix transposed(const Matrix& l) {
    const std::size_t p = l.rows();
    Matrix t = Matrix::zeros(p, p);
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t i = 0; i <= j; ++i) t(i, j) = l(j, i);
    return t;
}

bool fast_route_rank_ok(const ScaledGram& g, const Vector* rank_norms) {
    if (!rank_norms) return true;
    const std::size_t p = g.s.size();
    double lo = std::numeric_limits<double>::infinity(), hi = 0;
    for (std::size_t j = 0; j < p; ++j) {
        const double t = g.s[j] * (*rank_norms)[j];
        lo = std::min(lo, t);
        hi = std::max(hi, t);
    }
    if (lo > 0 && hi <= 1e7 * lo) return true;
    const auto w = rank_weights(g.s, rank_norms);
    return full_rank(scaled_condition(transposed(*g.l), &*w));
}


Expected<NormalSolution, NormalStep> solve_with_factor(const ScaledGram& g, const Matrix& cross) {
    const std::size_t p = g.s.size(), r = cross.cols();
    const Vector& s = g.s;
    const Matrix& l = *g.l;
    Matrix cs = cross;
    for (std::size_t c = 0; c < r; ++c)
        for (std::size_t j = 0; j < p; ++j) cs(j, c) *= s[j];

    auto z = solve_lower(l, cs);
    if (!z) return fail(NormalStep::ForwardSolve);
    auto beta = solve_lower_transposed(l, *z);
    if (!beta) return fail(NormalStep::BackSolve);
    auto w = solve_lower(l, Matrix::identity(p));
    if (!w) return fail(NormalStep::InverseForward);
    auto v = solve_lower_transposed(l, *w);
    if (!v) return fail(NormalStep::InverseBack);
    for (std::size_t c = 0; c < r; ++c)
        for (std::size_t j = 0; j < p; ++j) (*beta)(j, c) *= s[j];
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t i = 0; i < p; ++i) (*v)(i, j) *= s[i] * s[j];
    return NormalSolution{std::move(*beta), std::move(*v), transposed(l)};
}

}  // namespace

Expected<NormalSolution, NormalStep> solve_normal_equations(const MatView& design, const MatView& rhs,
                                                            const Matrix& gram, const Matrix& cross,
                                                            const ExactData* exact, const Vector* rank_norms) {
    const std::size_t p = gram.rows(), r = cross.cols();
    if (p == 0) return NormalSolution{Matrix(0, r), Matrix(0, 0), Matrix(0, 0)};  // LAPACK rejects n = 0
    const ScaledGram g = scale_and_factor(gram);
    if (!g.well_conditioned) {
        auto guarded = guarded_solution(design, rhs, g.s, exact, rank_norms);
        // Only when no QR could be formed (n·p beyond LAPACK's integers) does a Cholesky
        // factor, however ill-conditioned, give the answer.
        if (guarded.ok() || guarded.error() != NormalStep::Factor || !g.l) return guarded;
    } else if (!fast_route_rank_ok(g, rank_norms)) {
        return fail(NormalStep::RankDeficient);
    }
    return solve_with_factor(g, cross);
}

std::optional<NormalSolution> solve_well_conditioned(const Matrix& gram, const Matrix& cross,
                                                     const Vector* rank_norms) {
    if (gram.rows() == 0) return std::nullopt;
    const ScaledGram g = scale_and_factor(gram);
    if (!g.well_conditioned || !fast_route_rank_ok(g, rank_norms)) return std::nullopt;
    auto sol = solve_with_factor(g, cross);
    if (!sol) return std::nullopt;
    return std::move(*sol);
}

Expected<Matrix, NormalStep> rank_factor(const MatView& design, const Matrix& gram) {
    if (gram.rows() == 0) return Matrix(0, 0);
    const ScaledGram g = scale_and_factor(gram);
    if (g.well_conditioned) return transposed(*g.l);
    auto qr = scaled_qr(design, g.s);
    if (!qr) {
        // No QR within LAPACK's integers: an existing Cholesky factor stands, as on the normal route.
        if (g.l) return transposed(*g.l);
        return fail(NormalStep::RankDeficient);
    }
    if (!rank_ok(*qr, g.s, nullptr)) return fail(NormalStep::RankDeficient);
    return r_factor(*qr);
}

Expected<NormalSolution, SvdFailure> solve_by_svd(const MatView& design, const MatView& rhs,
                                                  const Vector* rank_norms) {
    const std::size_t n = design.rows, p = design.cols, r = rhs.cols;
    if (p == 0) return NormalSolution{Matrix(0, r), Matrix(0, 0), Matrix(0, 0)};
    if (n < p) return fail(SvdFailure{true, {}});
    Matrix ds = to_matrix(design);  // n × p, columns scaled to the lengths the rank rule uses
    Vector c(p);
    for (std::size_t j = 0; j < p; ++j) {
        double* col = ds.col(j);
        c[j] = rank_norms ? (*rank_norms)[j] : (fits_lapack(n) ? KV_BLAS(cblas_dnrm2)(checked_int(n), col, 1) : 0.0);
        if (!(c[j] > 0) || !std::isfinite(c[j])) {
            // A zero column is rank deficiency; a non-finite one is left for LAPACK's refusal.
            if (c[j] == 0) return fail(SvdFailure{true, {}});
            c[j] = 1.0;
        }
        for (std::size_t i = 0; i < n; ++i) col[i] /= c[j];
    }
    auto ls = least_squares(ds, to_matrix(rhs));
    if (!ls) return fail(SvdFailure{false, ls.error()});
    const Vector& sv = ls->singular_values;
    if (!(sv.back() >= rank_tolerance * sv.front())) return fail(SvdFailure{true, {}});
    NormalSolution out;
    out.beta = std::move(ls->solution);
    for (std::size_t k = 0; k < r; ++k)
        for (std::size_t j = 0; j < p; ++j) out.beta(j, k) /= c[j];
    Householder h;
    if (!householder_qr(std::move(ds), h) || !covariance_from_r(h, out.xtx_inverse))
        return fail(SvdFailure{true, {}});
    out.r = r_factor(h);
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t i = 0; i < p; ++i) out.xtx_inverse(i, j) /= c[i] * c[j];
    return out;
}

}  // namespace kv
