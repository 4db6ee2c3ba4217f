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
// large-residual problems), and the covariance from R⁻¹R⁻ᵀ. A design whose R is
// numerically singular (condition beyond 1/(p·ε)) has no digits to give: the fast
// route's own outcome stands.
#include "linalg/normal_equations.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "linalg/lapack.hpp"
#include "linalg/linalg.hpp"

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

double reciprocal_condition(const Matrix& l, const Matrix& a) {
    const std::size_t p = l.rows();
    double anorm = 0;  // 1-norm of the symmetric matrix
    for (std::size_t j = 0; j < p; ++j) {
        double s = 0;
        for (std::size_t i = 0; i < p; ++i) s += std::fabs(a(i, j));
        anorm = std::max(anorm, s);
    }
    const lapack_int lp = checked_int(p);
    double rcond = 0;
    std::vector<double> work(3 * p);
    std::vector<lapack_int> iwork(p);
    lapack_int info = 0;
    const char uplo = 'L';
    KV_BLAS(dpocon_)(&uplo, &lp, l.data(), &lp, &anorm, &rcond, work.data(), iwork.data(), &info, 1);
    return info == 0 ? rcond : 0.0;
}

struct Householder {
    Matrix qr;    // n × p: R above the diagonal, reflectors below
    Vector tau;   // p
};

bool householder_qr(Matrix a, Householder& out) {
    const lapack_int m = checked_int(a.rows()), n = checked_int(a.cols());
    out.tau.assign(a.cols(), 0.0);
    lapack_int info = 0, lwork = -1;
    double query = 0;
    KV_BLAS(dgeqrf_)(&m, &n, a.data(), &m, out.tau.data(), &query, &lwork, &info);
    if (info != 0) return false;
    lwork = std::max<lapack_int>(1, static_cast<lapack_int>(query));
    std::vector<double> work(static_cast<std::size_t>(lwork));
    KV_BLAS(dgeqrf_)(&m, &n, a.data(), &m, out.tau.data(), work.data(), &lwork, &info);
    if (info != 0) return false;
    out.qr = std::move(a);
    return true;
}

// c ← Qᵀc (trans 'T') or Q·c (trans 'N'), c an n-vector.
bool apply_q(const Householder& h, char trans, double* c) {
    const lapack_int m = checked_int(h.qr.rows()), k = checked_int(h.qr.cols()), one = 1;
    const char side = 'L';
    lapack_int info = 0, lwork = -1;
    double query = 0;
    KV_BLAS(dormqr_)(&side, &trans, &m, &one, &k, h.qr.data(), &m, h.tau.data(), c, &m, &query, &lwork, &info, 1, 1);
    if (info != 0) return false;
    lwork = std::max<lapack_int>(1, static_cast<lapack_int>(query));
    std::vector<double> work(static_cast<std::size_t>(lwork));
    KV_BLAS(dormqr_)(&side, &trans, &m, &one, &k, h.qr.data(), &m, h.tau.data(), c, &m, work.data(), &lwork, &info, 1,
                     1);
    return info == 0;
}

// Solves R·x = b ('N') or Rᵀ·x = b ('T') in place with the upper triangle of the QR factor.
bool solve_r(const Householder& h, char trans, double* b) {
    const lapack_int n = checked_int(h.qr.cols()), lda = checked_int(h.qr.rows()), one = 1;
    const char uplo = 'U', diag = 'N';
    lapack_int info = 0;
    KV_BLAS(dtrtrs_)(&uplo, &trans, &diag, &n, &one, h.qr.data(), &lda, b, &n, &info, 1, 1, 1);
    return info == 0;
}

double r_reciprocal_condition(const Householder& h) {
    const lapack_int n = checked_int(h.qr.cols()), lda = checked_int(h.qr.rows());
    const char norm = '1', uplo = 'U', diag = 'N';
    double rcond = 0;
    std::vector<double> work(3 * h.qr.cols());
    std::vector<lapack_int> iwork(h.qr.cols());
    lapack_int info = 0;
    KV_BLAS(dtrcon_)(&norm, &uplo, &diag, &n, h.qr.data(), &lda, &rcond, work.data(), iwork.data(), &info, 1, 1, 1);
    return info == 0 ? rcond : 0.0;
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

Expected<NormalSolution, NormalStep> guarded_solution(const MatView& design, const MatView& rhs, const Vector& s,
                                                      const ExactData* exact) {
    const std::size_t n = design.rows, p = design.cols, r = rhs.cols;
    if (n < p || !fits_lapack(n * p)) return fail(NormalStep::Factor);
    Matrix ds = to_matrix(design);  // the scaled copy QR overwrites; only this rare route pays for it
    for (std::size_t j = 0; j < p; ++j) {
        double* col = ds.col(j);
        for (std::size_t i = 0; i < n; ++i) col[i] *= s[j];
    }
    Householder h;
    if (!householder_qr(ds, h)) return fail(NormalStep::Factor);
    if (!(r_reciprocal_condition(h) >= static_cast<double>(p) * std::numeric_limits<double>::epsilon()))
        return fail(NormalStep::Factor);
    NormalSolution out;
    out.guarded = true;
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

}  // namespace

Expected<NormalSolution, NormalStep> solve_normal_equations(const MatView& design, const MatView& rhs,
                                                            const Matrix& gram, const Matrix& cross,
                                                            const ExactData* exact) {
    const std::size_t p = gram.rows(), r = cross.cols();
    if (p == 0) return NormalSolution{Matrix(0, r), Matrix(0, 0), false};  // nothing to solve; LAPACK rejects n = 0 here
    const Vector s = power_of_two_scales(gram);
    Matrix as = gram;
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t i = 0; i < p; ++i) as(i, j) *= s[i] * s[j];
    Matrix cs = cross;
    for (std::size_t c = 0; c < r; ++c)
        for (std::size_t j = 0; j < p; ++j) cs(j, c) *= s[j];

    auto l = cholesky_lower(as);
    if (!l || reciprocal_condition(*l, as) < min_normal_rcond) {
        auto guarded = guarded_solution(design, rhs, s, exact);
        if (guarded.ok() || !l) return guarded;
        // Numerically singular even after scaling: the Cholesky solution is all there is.
    }

    auto z = solve_lower(*l, cs);
    if (!z) return fail(NormalStep::ForwardSolve);
    auto beta = solve_lower_transposed(*l, *z);
    if (!beta) return fail(NormalStep::BackSolve);
    auto w = solve_lower(*l, Matrix::identity(p));
    if (!w) return fail(NormalStep::InverseForward);
    auto v = solve_lower_transposed(*l, *w);
    if (!v) return fail(NormalStep::InverseBack);
    for (std::size_t c = 0; c < r; ++c)
        for (std::size_t j = 0; j < p; ++j) (*beta)(j, c) *= s[j];
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t i = 0; i < p; ++i) (*v)(i, j) *= s[i] * s[j];
    return NormalSolution{std::move(*beta), std::move(*v), false};
}

}  // namespace kv
