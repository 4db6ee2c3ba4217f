// The basis Q of the instruments' span comes from the cheapest factor that keeps the digits:
// the Cholesky factor of the scaled WᵀW when it is well-conditioned (Q = W·S·L⁻ᵀ, so
// QᵀA = L⁻¹·S·WᵀA needs only cross products), Householder QR of W·S otherwise, and the left
// singular vectors of W·S above the rank tolerance when W is rank-deficient (TSLS accepts such
// instruments: the projection on their span is still unique).
#include "models/linear/instrumental.hpp"

#include <cmath>
#include <cstring>

#include "linalg/lapack.hpp"
#include "linalg/linalg.hpp"
#include "linalg/qr.hpp"
#include "linalg/singular_values.hpp"
#include "models/covariance.hpp"
#include "models/linear/fit_utils.hpp"

namespace kv {

namespace {

// Below this reciprocal condition estimate of the scaled WᵀW (a condition of W beyond about 10³)
// the Cholesky basis would lose digits: the orthogonal factor takes over.
constexpr double min_basis_rcond = 1e-6;

// Powers of two near 1/‖column‖, so that scaling is exact.
Vector column_scales(const Matrix& m) {
    Vector s(m.cols(), 1.0);
    for (std::size_t j = 0; j < m.cols(); ++j) {
        const double norm = KV_BLAS(cblas_dnrm2)(checked_int(m.rows()), m.col(j), 1);
        if (norm > 0 && std::isfinite(norm)) {
            int e = 0;
            std::frexp(norm, &e);
            s[j] = std::ldexp(1.0, -e);
        }
    }
    return s;
}

double reciprocal_condition_of_cholesky(const Matrix& l, const Matrix& a) {
    const std::size_t p = l.rows();
    double anorm = 0;
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

enum class Basis { Ok, RankDeficient, Failed };

// Qᵀ·A (r × c) for A = [X₁ | y] (n × c), or why there is none.
Basis project(Matrix w, const Matrix& a, bool accept_rank_deficient, Matrix& out) {
    const std::size_t n = w.rows(), q = w.cols(), c = a.cols();
    const Vector s = column_scales(w);
    for (std::size_t j = 0; j < q; ++j)
        for (std::size_t i = 0; i < n; ++i) w(i, j) *= s[j];
    if (n >= q && q > 0) {
        const Matrix g = gram(w);
        if (auto l = cholesky_lower(g); l && reciprocal_condition_of_cholesky(*l, g) >= min_basis_rcond) {
            auto qa = solve_lower(*l, matmul(w.transposed(), a.view()));
            if (!qa) return Basis::Failed;
            out = std::move(*qa);
            return Basis::Ok;
        }
        Householder h;
        if (!householder_qr(w, h)) return Basis::Failed;
        if (full_rank(scaled_condition(r_factor(h)))) {
            Matrix qa = a;
            if (!apply_q(h, 'T', qa.data(), c)) return Basis::Failed;
            out = Matrix(q, c);
            for (std::size_t j = 0; j < c; ++j) std::memcpy(out.col(j), qa.col(j), q * sizeof(double));
            return Basis::Ok;
        }
    }
    if (!accept_rank_deficient) return Basis::RankDeficient;
    // Unit-length columns, so that the rank decision does not depend on the instruments' units.
    for (std::size_t j = 0; j < q; ++j) {
        const double norm = KV_BLAS(cblas_dnrm2)(checked_int(n), w.col(j), 1);
        if (norm > 0 && std::isfinite(norm))
            for (std::size_t i = 0; i < n; ++i) w(i, j) /= norm;
    }
    auto basis = column_space_basis(std::move(w), rank_tolerance);
    if (!basis) return Basis::Failed;
    out = matmul(basis->transposed(), a.view());
    return Basis::Ok;
}

}  // namespace

Result<LinearFit> fit_instrumental(const MatView& instruments, const MatView& regressors, const VecView& targets,
                                   bool intercept, const InstrumentalText& text) {
    const std::size_t n = regressors.rows, k = regressors.cols, p = k + (intercept ? 1 : 0);
    const ErrorKind kind = text.second_stage.kind;
    Matrix a(n, p + 1);  // [1 | X | y]
    if (intercept) std::fill(a.col(0), a.col(0) + n, 1.0);
    copy_into(regressors, a, intercept ? 1 : 0);
    for (std::size_t i = 0; i < n; ++i) a(i, p) = targets[i];

    Matrix projected;  // r × (p + 1): Qᵀ[X₁ | y]
    switch (project(build_design(instruments, intercept), a, text.singular_instruments == nullptr, projected)) {
        case Basis::Ok: break;
        case Basis::RankDeficient: return fail(Error{kind, text.singular_instruments});
        case Basis::Failed: return fail(Error{kind, text.projection_failed});
    }
    const std::size_t r = projected.rows();
    const MatView m{projected.data(), r, p, 1, static_cast<std::ptrdiff_t>(r)};
    const VecView qy{projected.col(p), r, 1};
    Problem problem{m, qy};
    problem.route_rows = n;
    auto sol = solve(problem, text.second_stage);
    if (!sol) return fail(std::move(sol.error()));

    Vector e = to_vector(VecView{a.col(p), n, 1});  // y − X₁β, the structural residuals
    gemv_update(MatView{a.data(), n, p, 1, static_cast<std::ptrdiff_t>(n)}, sol->beta.data(), -1.0, 1.0, e.data());
    if (n == p) return fail(Error{kind, text.no_degrees_of_freedom});
    const double mse = dot(e.data(), e.data(), n) / static_cast<double>(n - p);
    const double r2 = centred_r_squared(e, targets);
    return make_linear_fit(n, k, intercept, std::move(sol->beta), std::move(sol->r), std::move(e), mse, r2,
                           classical_covariance(sol->bread, mse));
}

}  // namespace kv
