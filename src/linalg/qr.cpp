// Householder QR (dgeqrf), Q applied by dormqr with one workspace query per call, and the
// rank rule's condition number from the singular values of the small factor R (dgesdd).
#include "linalg/qr.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "linalg/lapack.hpp"
#include "linalg/singular_values.hpp"

namespace kv {

bool householder_qr(Matrix a, Householder& out) {
    if (!fits_lapack(a.rows()) || !fits_lapack(a.cols()) || a.rows() < a.cols()) return false;
    const lapack_int m = checked_int(a.rows()), n = checked_int(a.cols());
    out.tau.assign(a.cols(), 0.0);
    if (n == 0) {
        out.qr = std::move(a);
        return true;
    }
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

bool apply_q(const Householder& h, char trans, double* c, std::size_t ncols) {
    if (ncols == 0 || h.qr.cols() == 0) return true;
    if (!fits_lapack(ncols)) return false;
    const lapack_int m = checked_int(h.qr.rows()), k = checked_int(h.qr.cols()), nc = checked_int(ncols);
    const char side = 'L';
    lapack_int info = 0, lwork = -1;
    double query = 0;
    KV_BLAS(dormqr_)(&side, &trans, &m, &nc, &k, h.qr.data(), &m, h.tau.data(), c, &m, &query, &lwork, &info, 1, 1);
    if (info != 0) return false;
    lwork = std::max<lapack_int>(1, static_cast<lapack_int>(query));
    std::vector<double> work(static_cast<std::size_t>(lwork));
    KV_BLAS(dormqr_)(&side, &trans, &m, &nc, &k, h.qr.data(), &m, h.tau.data(), c, &m, work.data(), &lwork, &info, 1,
                     1);
    return info == 0;
}

bool solve_r(const Householder& h, char trans, double* b) {
    if (h.qr.cols() == 0) return true;
    const lapack_int n = checked_int(h.qr.cols()), lda = checked_int(h.qr.rows()), one = 1;
    const char uplo = 'U', diag = 'N';
    lapack_int info = 0;
    KV_BLAS(dtrtrs_)(&uplo, &trans, &diag, &n, &one, h.qr.data(), &lda, b, &n, &info, 1, 1, 1);
    return info == 0;
}

Matrix r_factor(const Householder& h) {
    const std::size_t p = h.qr.cols();
    Matrix r = Matrix::zeros(p, p);
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t i = 0; i <= j; ++i) r(i, j) = h.qr(i, j);
    return r;
}

double scaled_condition(Matrix r, const Vector* weight) {
    const std::size_t p = r.cols();
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < p; ++j) {
        double* col = r.col(j);
        double w = 0;
        if (weight) {
            w = (*weight)[j];
        } else {
            // A scaled sum of squares: the column's norm neither overflows nor underflows.
            double big = 0;
            for (std::size_t i = 0; i < p; ++i) big = std::max(big, std::fabs(col[i]));
            if (big > 0 && std::isfinite(big)) {
                double s = 0;
                for (std::size_t i = 0; i < p; ++i) s += (col[i] / big) * (col[i] / big);
                w = 1.0 / (big * std::sqrt(s));
                if (!std::isfinite(w)) w = 1.0 / big / std::sqrt(s);
            }
        }
        if (!(w > 0) || !std::isfinite(w)) return inf;
        for (std::size_t i = 0; i < p; ++i) col[i] *= w;
    }
    if (p == 0) return 1.0;
    auto s = singular_values(std::move(r));
    if (!s || !(s->back() > 0)) return inf;
    return s->front() / s->back();
}

}  // namespace kv
