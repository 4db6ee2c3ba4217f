// The basis Q of the instruments' span comes from the cheapest factor that keeps the digits:
// the Cholesky factor of the scaled WᵀW when it is well-conditioned (Q = W·S·L⁻ᵀ, so
// QᵀA = L⁻¹·S·WᵀA needs only the Gram matrix of [W | X | y], formed in one streamed pass),
// Householder QR of W·S otherwise, and the left singular vectors of W·S above the rank tolerance
// when W is rank-deficient (TSLS accepts such instruments: the projection on their span is still
// unique). Only those rarer routes copy the data.
#include "models/linear/instrumental.hpp"

#include <cmath>
#include <cstring>

#include "linalg/lapack.hpp"
#include "linalg/linalg.hpp"
#include "linalg/qr.hpp"
#include "linalg/singular_values.hpp"
#include "linalg/stream.hpp"
#include "models/covariance.hpp"
#include "models/linear/fit_utils.hpp"

namespace kv {

namespace {

// Below this reciprocal condition estimate of the scaled WᵀW (a condition of W beyond about 10³)
// the Cholesky basis would lose digits: the orthogonal factor takes over.
constexpr double min_basis_rcond = 1e-6;

// Powers of two near 1/‖column‖ from the diagonal of a Gram matrix, so that scaling is exact.
Vector column_scales(const Matrix& gram) {
    Vector s(gram.rows(), 1.0);
    for (std::size_t j = 0; j < gram.rows(); ++j) {
        const double norm = std::sqrt(gram(j, j));
        if (norm > 0 && std::isfinite(norm)) {
            int e = 0;
            std::frexp(norm, &e);
            s[j] = std::ldexp(1.0, -e);
        }
    }
    return s;
}

enum class Basis { Ok, RankDeficient, Failed };

// QᵀA = L⁻¹·S·WᵀA from WᵀW and WᵀA alone, with S·WᵀW·S = L·Lᵀ, when that factor is well-conditioned.
bool project_by_cholesky(const Matrix& wtw, const Matrix& wta, Matrix& out) {
    const std::size_t q = wtw.rows();
    if (q == 0) return false;
    const Vector s = column_scales(wtw);
    Matrix g = wtw, c = wta;
    for (std::size_t j = 0; j < q; ++j)
        for (std::size_t i = 0; i < q; ++i) g(i, j) *= s[i] * s[j];
    for (std::size_t j = 0; j < c.cols(); ++j)
        for (std::size_t i = 0; i < q; ++i) c(i, j) *= s[i];
    auto l = cholesky_lower(g);
    if (!l || cholesky_reciprocal_condition(*l, g) < min_basis_rcond) return false;
    auto qa = solve_lower(*l, std::move(c));
    if (!qa) return false;
    out = std::move(*qa);
    return true;
}

// QᵀA (r × c) for A = [X₁ | y] (n × c) from the instruments W themselves: Householder QR of W·S,
// or, for rank-deficient instruments, the left singular vectors of W with unit-length columns.
Basis project_by_factoring(Matrix w, const Matrix& a, const Vector& s, bool accept_rank_deficient, Matrix& out) {
    const std::size_t n = w.rows(), q = w.cols(), c = a.cols();
    for (std::size_t j = 0; j < q; ++j)
        for (std::size_t i = 0; i < n; ++i) w(i, j) *= s[j];
    if (n >= q && q > 0) {
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

namespace {

// WᵀW (q1 × q1) and Wᵀ[X₁ | y] (q1 × (p + 1)) out of the Gram matrix of [1 | Z | X | y].
void instrument_blocks(const Matrix& g, std::size_t q1, std::size_t k, bool intercept, Matrix& wtw, Matrix& wta) {
    const std::size_t off = intercept ? 1 : 0, p = k + off;
    wtw = Matrix(q1, q1);
    wta = Matrix(q1, p + 1);
    for (std::size_t j = 0; j < q1; ++j)
        for (std::size_t i = 0; i < q1; ++i) wtw(i, j) = g(i, j);
    for (std::size_t i = 0; i < q1; ++i) {
        if (intercept) wta(i, 0) = g(i, 0);
        for (std::size_t j = 0; j < k; ++j) wta(i, off + j) = g(i, q1 + j);
        wta(i, p) = g(i, q1 + k);
    }
}

// The second stage on the r × (p + 1) projection Qᵀ[X₁ | y], n rows for the route choice.
Result<Solution> second_stage(const Matrix& projected, std::size_t n, std::size_t p, const InstrumentalText& text) {
    const std::size_t r = projected.rows();
    const MatView m{projected.data(), r, p, 1, static_cast<std::ptrdiff_t>(r)};
    const VecView qy{projected.col(p), r, 1};
    Problem problem{m, qy};
    problem.route_rows = n;
    return solve(problem, text.second_stage);
}

// The record from β and the sums of the structural residuals.
Result<LinearFit> instrumental_fit(std::size_t n, std::size_t k, bool intercept, Solution sol, Vector e, double ssr,
                                   double r2, const InstrumentalText& text) {
    const std::size_t p = k + (intercept ? 1 : 0);
    if (n == p) return fail(Error{text.second_stage.kind, text.no_degrees_of_freedom});
    const double mse = ssr / static_cast<double>(n - p);
    return make_linear_fit(n, k, intercept, std::move(sol.beta), std::move(sol.r), std::move(e), mse, r2,
                           classical_covariance(sol.bread, mse));
}

Result<LinearFit> fit_checked(const MatView& instruments, const MatView& regressors, const VecView& targets,
                              bool intercept, const InstrumentalText& text) {
    const std::size_t n = regressors.rows, k = regressors.cols, q = instruments.cols, off = intercept ? 1 : 0;
    const std::size_t p = k + off, q1 = q + off;
    const ErrorKind kind = text.second_stage.kind;
    // The residuals are allocated before any pass over the data: a fit that cannot keep them fails
    // at once (MemoryError).
    Vector e(n);
    // One streamed pass: the Gram matrix of [1 | Z | X | y] holds WᵀW and Wᵀ[X₁ | y].
    RowSource rows{instruments, &targets, intercept};
    rows.x2 = regressors;
    Matrix wtw, wta;
    instrument_blocks(streamed_gram(rows), q1, k, intercept, wtw, wta);
    Matrix projected;  // r × (p + 1): Qᵀ[X₁ | y]
    if (!project_by_cholesky(wtw, wta, projected)) {
        Matrix a(n, p + 1);  // [1 | X | y]
        if (intercept) std::fill(a.col(0), a.col(0) + n, 1.0);
        copy_into(regressors, a, off);
        for (std::size_t i = 0; i < n; ++i) a(i, p) = targets[i];
        switch (project_by_factoring(build_design(instruments, intercept), a, column_scales(wtw),
                                     text.singular_instruments == nullptr, projected)) {
            case Basis::Ok: break;
            case Basis::RankDeficient: return fail(Error{kind, text.singular_instruments});
            case Basis::Failed: return fail(Error{kind, text.projection_failed});
        }
    }
    auto sol = second_stage(projected, n, p, text);
    if (!sol) return fail(std::move(sol.error()));
    // y − X₁β, the structural residuals, from the caller's rows
    streamed_residuals(RowSource{regressors, &targets, intercept}, sol->beta.data(), e.data());
    if (n == p) return fail(Error{kind, text.no_degrees_of_freedom});
    double ssr = 0;
    const double r2 = centred_r_squared(e, targets, nullptr, &ssr);
    return instrumental_fit(n, k, intercept, std::move(*sol), std::move(e), ssr, r2, text);
}

}  // namespace

// A failure worded as singular instruments or a singular second stage, on data holding NaN or ±∞,
// says so instead.
Result<LinearFit> fit_instrumental(const MatView& instruments, const MatView& regressors, const VecView& targets,
                                   bool intercept, const InstrumentalText& text) {
    auto fit = fit_checked(instruments, regressors, targets, intercept, text);
    if (fit) return fit;
    return fail(non_finite_or(std::move(fit.error()),
                              {text.singular_instruments, text.second_stage.singular, text.second_stage.singular_svd},
                              {instruments, regressors, column_of(targets)}));
}

Result<std::optional<Solution>> solve_instrumental_rounds(std::size_t q, std::size_t k, bool intercept,
                                                          const rounds::GramRound& gram,
                                                          const rounds::FactorRound* factor,
                                                          const InstrumentalText& text,
                                                          const InstrumentalShapes& check) {
    const rounds::ChunkHeader& h = gram.head;
    const auto n = static_cast<std::size_t>(h.rows_x);
    if (auto shapes = check(n, static_cast<std::size_t>(h.rows_y), static_cast<std::size_t>(h.rows_x2), q, k);
        !shapes.ok())
        return fail(std::move(shapes.error()));
    if (h.mismatch)  // a chunk's inputs disagree, though the totals match
        return fail(std::move(check(n, n + 1, n, q, k).error()));
    if (auto data = rounds::check_range(gram); !data.ok()) return fail(std::move(data.error()));
    const std::size_t off = intercept ? 1 : 0, p = k + off, q1 = q + off;
    const ErrorKind kind = text.second_stage.kind;
    Matrix wtw, wta, projected;
    instrument_blocks(gram.gram, q1, k, intercept, wtw, wta);
    if (!project_by_cholesky(wtw, wta, projected)) {
        if (!factor) return std::optional<Solution>();
        // R = [R_ww R_wa; 0 R_aa] of [W | X | y] with W = [1 | Z]: W = Q_w·R_ww, and R_wa = Q_wᵀ[X | y].
        const Matrix& r = factor->r;
        Matrix rww(q1, q1), rwa(q1, p + 1);
        for (std::size_t j = 0; j < q1; ++j)
            for (std::size_t i = 0; i < q1; ++i) rww(i, j) = r(i, j);
        for (std::size_t i = 0; i < q1; ++i) {
            if (intercept) rwa(i, 0) = r(i, 0);  // the ones column is W's first
            for (std::size_t j = 0; j < k; ++j) rwa(i, off + j) = r(i, q1 + j);
            rwa(i, p) = r(i, q1 + k);
        }
        if (full_rank(scaled_condition(rww))) {
            projected = std::move(rwa);
        } else {
            if (text.singular_instruments) return fail(Error{kind, text.singular_instruments});
            // The left singular vectors of W (columns at unit length) are Q_w·U for those of R_ww·N.
            for (std::size_t j = 0; j < q1; ++j) {
                const double norm = std::sqrt(wtw(j, j));
                if (norm > 0 && std::isfinite(norm))
                    for (std::size_t i = 0; i < q1; ++i) rww(i, j) /= norm;
            }
            auto basis = column_space_basis(std::move(rww), rank_tolerance);
            if (!basis) return fail(Error{kind, text.projection_failed});
            projected = matmul(basis->transposed(), rwa.view());
        }
    }
    auto sol = second_stage(projected, n, p, text);
    if (!sol) return fail(std::move(sol.error()));
    return std::optional<Solution>(std::move(*sol));
}

Result<LinearFit> finish_instrumental_rounds(std::size_t k, bool intercept, Solution sol,
                                             const rounds::ResidualRound& round, const InstrumentalText& text) {
    return instrumental_fit(static_cast<std::size_t>(round.rows), k, intercept, std::move(sol), Vector{}, round.ssr,
                            round.r_squared(), text);
}

}  // namespace kv
