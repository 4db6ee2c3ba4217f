// Singular values by QR then SVD of R: for an n × p matrix with n ≫ p the SVD runs on a
// p × p problem, so the cost is one Householder pass over the data plus O(p³).
#include "linalg/singular_values.hpp"

#include <algorithm>
#include <vector>

#include "linalg/lapack.hpp"

namespace kv {

namespace {

// dgesdd without vectors on a column-major m × n matrix; `a` is overwritten.
LResult<Vector> svd_values(Matrix& a) {
    const std::size_t m = a.rows(), n = a.cols();
    const lapack_int lm = checked_int(m), ln = checked_int(n), one = 1;
    Vector s(std::min(m, n), 0.0);
    std::vector<lapack_int> iwork(8 * std::min(m, n));
    const char jobz = 'N';
    double unused = 0.0, query = 0.0;
    lapack_int lwork = -1, info = 0;
    KV_BLAS(dgesdd_)(&jobz, &lm, &ln, a.data(), &lm, s.data(), &unused, &one, &unused, &one, &query, &lwork,
                     iwork.data(), &info, 1);
    if (info != 0) return fail(LinalgError::lapack_info(info));
    lwork = std::max<lapack_int>(1, static_cast<lapack_int>(query));
    std::vector<double> work(static_cast<std::size_t>(lwork));
    KV_BLAS(dgesdd_)(&jobz, &lm, &ln, a.data(), &lm, s.data(), &unused, &one, &unused, &one, work.data(), &lwork,
                     iwork.data(), &info, 1);
    if (info != 0) return fail(LinalgError::lapack_info(info));
    return s;
}

}  // namespace

LResult<Vector> singular_values(Matrix a) {
    const std::size_t m = a.rows(), n = a.cols();
    if (m == 0 || n == 0) return Vector{};
    if (!fits_lapack(m) || !fits_lapack(n) || !fits_lapack(8 * std::min(m, n)))
        return fail(LinalgError::lapack_invalid_shape());
    if (m <= n) return svd_values(a);

    const lapack_int lm = checked_int(m), ln = checked_int(n);
    Vector tau(n);
    double query = 0.0;
    lapack_int lwork = -1, info = 0;
    KV_BLAS(dgeqrf_)(&lm, &ln, a.data(), &lm, tau.data(), &query, &lwork, &info);
    if (info != 0) return fail(LinalgError::lapack_info(info));
    lwork = std::max<lapack_int>(1, static_cast<lapack_int>(query));
    std::vector<double> work(static_cast<std::size_t>(lwork));
    KV_BLAS(dgeqrf_)(&lm, &ln, a.data(), &lm, tau.data(), work.data(), &lwork, &info);  // R in the upper triangle
    if (info != 0) return fail(LinalgError::lapack_info(info));

    Matrix r = Matrix::zeros(n, n);  // the Householder vectors below the diagonal are left behind
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t i = 0; i <= j; ++i) r(i, j) = a(i, j);
    return svd_values(r);
}

LResult<Matrix> column_space_basis(Matrix a, double tol) {
    const std::size_t m = a.rows(), n = a.cols(), k = std::min(m, n);
    if (k == 0) return Matrix(m, 0);
    if (!fits_lapack(m) || !fits_lapack(n) || !fits_lapack(8 * k) || !fits_lapack(m * k))
        return fail(LinalgError::lapack_invalid_shape());
    const lapack_int lm = checked_int(m), ln = checked_int(n), lk = checked_int(k);
    Vector s(k, 0.0);
    Matrix u(m, k), vt(k, n);
    std::vector<lapack_int> iwork(8 * k);
    const char jobz = 'S';
    double query = 0.0;
    lapack_int lwork = -1, info = 0;
    KV_BLAS(dgesdd_)(&jobz, &lm, &ln, a.data(), &lm, s.data(), u.data(), &lm, vt.data(), &lk, &query, &lwork,
                     iwork.data(), &info, 1);
    if (info != 0) return fail(LinalgError::lapack_info(info));
    lwork = std::max<lapack_int>(1, static_cast<lapack_int>(query));
    std::vector<double> work(static_cast<std::size_t>(lwork));
    KV_BLAS(dgesdd_)(&jobz, &lm, &ln, a.data(), &lm, s.data(), u.data(), &lm, vt.data(), &lk, work.data(), &lwork,
                     iwork.data(), &info, 1);
    if (info != 0) return fail(LinalgError::lapack_info(info));
    std::size_t r = 0;
    while (r < k && s[r] > tol * s[0]) ++r;
    Matrix basis(m, r);
    if (r) std::memcpy(basis.data(), u.data(), m * r * sizeof(double));
    return basis;
}

}  // namespace kv
