// LAPACK/CBLAS wrappers: one small function per operation. Each copies its input into
// a column-major scratch matrix, runs the workspace query where the routine has one,
// and turns `info` into a LinalgError. Empty operands are handled before LAPACK sees them.
#include "linalg/linalg.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/lapack.hpp"

namespace kv {

LinalgError LinalgError::not_square(std::size_t r, std::size_t c) {
    LinalgError e;
    e.kind = Kind::NotSquare;
    e.rows = static_cast<std::int32_t>(r);
    e.cols = static_cast<std::int32_t>(c);
    return e;
}
LinalgError LinalgError::lapack_info(std::int32_t info) {
    LinalgError e;
    e.kind = Kind::Lapack;
    e.lapack = info < 0 ? LapackKind::InvalidValue : LapackKind::ComputationalFailure;
    e.code = info;
    return e;
}
LinalgError LinalgError::lapack_invalid_shape() {
    LinalgError e;
    e.kind = Kind::Lapack;
    e.lapack = LapackKind::InvalidShape;
    return e;
}
LinalgError LinalgError::shape_error(ShapeErrorKind k) {
    LinalgError e;
    e.kind = Kind::Shape;
    e.shape = k;
    return e;
}

namespace {
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
    return out + "\"";
}
const char* shape_name(ShapeErrorKind k) {
    switch (k) {
        case ShapeErrorKind::IncompatibleShape: return "IncompatibleShape";
        case ShapeErrorKind::IncompatibleLayout: return "IncompatibleLayout";
        case ShapeErrorKind::RangeLimited: return "RangeLimited";
        case ShapeErrorKind::OutOfBounds: return "OutOfBounds";
        case ShapeErrorKind::Unsupported: return "Unsupported";
        case ShapeErrorKind::Overflow: return "Overflow";
    }
    return "";
}
const char* shape_description(ShapeErrorKind k) {
    switch (k) {
        case ShapeErrorKind::IncompatibleShape: return "incompatible shapes";
        case ShapeErrorKind::IncompatibleLayout: return "incompatible memory layout";
        case ShapeErrorKind::RangeLimited: return "the shape does not fit in type limits";
        case ShapeErrorKind::OutOfBounds: return "out of bounds indexing";
        case ShapeErrorKind::Unsupported: return "unsupported operation";
        case ShapeErrorKind::Overflow: return "arithmetic overflow";
    }
    return "";
}
}  // namespace

std::string LinalgError::render() const {
    using std::to_string;
    switch (kind) {
        case Kind::NotSquare:
            return "NotSquare { rows: " + to_string(rows) + ", cols: " + to_string(cols) + " }";
        case Kind::Lapack:
            switch (lapack) {
                case LapackKind::InvalidValue:
                    return "Lapack(LapackInvalidValue { return_code: " + to_string(code) + " })";
                case LapackKind::ComputationalFailure:
                    return "Lapack(LapackComputationalFailure { return_code: " + to_string(code) + " })";
                case LapackKind::InvalidShape: return "Lapack(InvalidShape)";
            }
            break;
        case Kind::InvalidStride:
            return "InvalidStride { s0: " + to_string(s0) + ", s1: " + to_string(s1) + " }";
        case Kind::MemoryNotCont: return "MemoryNotCont";
        case Kind::NotStandardShape:
            return "NotStandardShape { obj: " + quoted(obj) + ", rows: " + to_string(rows) + ", cols: " +
                   to_string(cols) + " }";
        case Kind::Shape:
            return std::string("Shape(ShapeError/") + shape_name(shape) + ": " + shape_description(shape) + ")";
    }
    return "";
}

namespace {
bool finite_matrix(const Matrix& m) {
    bool bad = false;
    for (std::size_t i = 0; i < m.size(); ++i) {
        std::uint64_t bits;
        std::memcpy(&bits, m.data() + i, sizeof bits);
        bad |= (bits & 0x7ff0000000000000ULL) == 0x7ff0000000000000ULL;
    }
    return !bad;
}

bool fits(std::size_t a, std::size_t b = 0, std::size_t c = 0) {
    return fits_lapack(a) && fits_lapack(b) && fits_lapack(c);
}

LResult<Matrix> triangular_solve(const Matrix& t, Matrix b, char uplo, char trans) {
    const std::size_t n = t.rows();
    if (t.cols() != n) return fail(LinalgError::not_square(t.rows(), t.cols()));
    if (b.rows() != n) return fail(LinalgError::shape_error(ShapeErrorKind::IncompatibleShape));
    if (n == 0 || b.cols() == 0) return b;
    if (!fits(n, b.cols())) return fail(LinalgError::lapack_invalid_shape());
    const lapack_int ln = checked_int(n), nrhs = checked_int(b.cols());
    lapack_int info = 0;
    const char diag = 'N';
    KV_BLAS(dtrtrs_)(&uplo, &trans, &diag, &ln, &nrhs, t.data(), &ln, b.data(), &ln, &info, 1, 1, 1);
    if (info != 0) return fail(LinalgError::lapack_info(info));
    return b;
}

Vector flatten(const Matrix& m) { return Vector(m.data(), m.data() + m.size()); }
}  // namespace

LResult<Matrix> inverse(const Matrix& a, double* rcond) {
    const std::size_t n = a.rows();
    if (a.cols() != n) return fail(LinalgError::not_square(a.rows(), a.cols()));
    Matrix w = a;
    if (n == 0) return w;
    if (!fits(n)) return fail(LinalgError::lapack_invalid_shape());
    const lapack_int ln = checked_int(n);
    std::vector<lapack_int> ipiv(n);
    lapack_int info = 0;
    KV_BLAS(dgetrf_)(&ln, &ln, w.data(), &ln, ipiv.data(), &info);
    if (info != 0) return fail(LinalgError::lapack_info(info));
    if (rcond) {
        *rcond = 0.0;
        if (finite_matrix(a)) {
            const char norm = '1';
            double anorm = 0;
            for (std::size_t j = 0; j < n; ++j) {
                double s = 0;
                for (std::size_t i = 0; i < n; ++i) s += std::fabs(a(i, j));
                anorm = std::max(anorm, s);
            }
            std::vector<double> work(4 * n);
            std::vector<lapack_int> iwork(n);
            KV_BLAS(dgecon_)(&norm, &ln, w.data(), &ln, &anorm, rcond, work.data(), iwork.data(), &info, 1);
            if (info != 0) *rcond = 0.0;
        }
    }
    double query = 0;
    lapack_int lwork = -1;
    KV_BLAS(dgetri_)(&ln, w.data(), &ln, ipiv.data(), &query, &lwork, &info);
    if (info != 0) return fail(LinalgError::lapack_info(info));
    lwork = std::max<lapack_int>(1, static_cast<lapack_int>(query));
    std::vector<double> work(static_cast<std::size_t>(lwork));
    KV_BLAS(dgetri_)(&ln, w.data(), &ln, ipiv.data(), work.data(), &lwork, &info);
    if (info != 0) return fail(LinalgError::lapack_info(info));
    return w;
}

LResult<Matrix> cholesky_lower(Matrix l) {
    const std::size_t n = l.rows();
    if (l.cols() != n) return fail(LinalgError::not_square(l.rows(), l.cols()));
    if (n == 0) return l;
    if (!fits(n)) return fail(LinalgError::lapack_invalid_shape());
    const lapack_int ln = checked_int(n);
    lapack_int info = 0;
    const char uplo = 'L';
    KV_BLAS(dpotrf_)(&uplo, &ln, l.data(), &ln, &info, 1);
    if (info != 0) return fail(LinalgError::lapack_info(info));
    // dpotrf does not flag a NaN pivot: a minor that is NaN is not positive definite either.
    for (std::size_t j = 0; j < n; ++j)
        if (!(l(j, j) > 0)) return fail(LinalgError::lapack_info(static_cast<std::int32_t>(j + 1)));
    for (std::size_t j = 1; j < n; ++j)
        for (std::size_t i = 0; i < j; ++i) l(i, j) = 0.0;
    return l;
}

double cholesky_reciprocal_condition(const Matrix& l, const Matrix& a) {
    const std::size_t p = l.rows();
    if (p == 0 || !fits(p)) return 0.0;
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

LResult<Matrix> solve_lower(const Matrix& l, Matrix b) { return triangular_solve(l, std::move(b), 'L', 'N'); }
LResult<Matrix> solve_lower_transposed(const Matrix& l, const Matrix& b) { return triangular_solve(l, b, 'L', 'T'); }

LResult<Vector> solve_lower(const Matrix& l, const Vector& b) {
    auto r = triangular_solve(l, column_matrix(b), 'L', 'N');
    if (!r) return fail(r.error());
    return flatten(*r);
}
LResult<Vector> solve_lower_transposed(const Matrix& l, const Vector& b) {
    auto r = triangular_solve(l, column_matrix(b), 'L', 'T');
    if (!r) return fail(r.error());
    return flatten(*r);
}

LResult<LeastSquares> least_squares(const Matrix& a, const Matrix& b, double rcond) {
    const std::size_t m = a.rows(), n = a.cols(), k = b.cols();
    if (b.rows() != m) return fail(LinalgError::shape_error(ShapeErrorKind::IncompatibleShape));
    const std::size_t ldb = std::max(m, n);
    LeastSquares out;
    if (m == 0 || n == 0 || k == 0) {
        out.solution = Matrix::zeros(n, k);
        if (m >= n) out.residual_sum_of_squares = Vector(k, 0.0);
        return out;
    }
    if (!fits(m, n, k) || !fits(ldb * k) || !fits(m * n)) return fail(LinalgError::lapack_invalid_shape());
    // dgelsd scales by the norm of A, and a NaN or infinite one makes LAPACK print an argument
    // error: report the offending argument (A is the 4th) without calling it. A non-finite b is
    // accepted by LAPACK and gives a non-finite solution, as on every other route.
    if (!finite_matrix(a)) return fail(LinalgError::lapack_info(-4));
    Matrix w = a;
    Matrix rhs = Matrix::zeros(ldb, k);
    for (std::size_t j = 0; j < k; ++j) std::memcpy(rhs.col(j), b.col(j), m * sizeof(double));
    const lapack_int lm = checked_int(m), ln = checked_int(n), lk = checked_int(k), lldb = checked_int(ldb);
    out.singular_values.assign(std::min(m, n), 0.0);
    lapack_int rank = 0, info = 0, lwork = -1, iwork_query = 0;
    double work_query = 0;
    KV_BLAS(dgelsd_)(&lm, &ln, &lk, w.data(), &lm, rhs.data(), &lldb, out.singular_values.data(), &rcond, &rank,
                     &work_query, &lwork, &iwork_query, &info);
    if (info != 0) return fail(LinalgError::lapack_info(info));
    lwork = std::max<lapack_int>(1, static_cast<lapack_int>(work_query));
    std::vector<double> work(static_cast<std::size_t>(lwork));
    std::vector<lapack_int> iwork(static_cast<std::size_t>(std::max<lapack_int>(1, iwork_query)));
    KV_BLAS(dgelsd_)(&lm, &ln, &lk, w.data(), &lm, rhs.data(), &lldb, out.singular_values.data(), &rcond, &rank,
                     work.data(), &lwork, iwork.data(), &info);
    if (info != 0) return fail(LinalgError::lapack_info(info));
    out.rank = rank;
    out.solution = Matrix(n, k);
    for (std::size_t j = 0; j < k; ++j) std::memcpy(out.solution.col(j), rhs.col(j), n * sizeof(double));
    if (m >= n && static_cast<std::size_t>(rank) == n) {
        Vector rss(k, 0.0);
        for (std::size_t j = 0; j < k; ++j)
            for (std::size_t i = n; i < m; ++i) rss[j] += rhs(i, j) * rhs(i, j);
        out.residual_sum_of_squares = std::move(rss);
    }
    return out;
}

LResult<LeastSquares> least_squares(const Matrix& a, const Vector& b) {
    if (b.size() != a.rows()) return fail(LinalgError::shape_error(ShapeErrorKind::IncompatibleShape));
    return least_squares(a, column_matrix(b));
}

namespace {
// A view CBLAS can describe: column-major with unit row stride, or row-major with unit column stride.
bool blas_layout(const MatView& v, bool& transposed, lapack_int& ld) {
    if (v.rows == 0 || v.cols == 0) return false;
    if (v.rs == 1 && v.cs >= static_cast<std::ptrdiff_t>(std::max<std::size_t>(1, v.rows)) && fits_lapack(v.cs)) {
        transposed = false;
        ld = checked_int(static_cast<std::size_t>(v.cs));
        return true;
    }
    if (v.cols == 1 && v.rs == 1) {
        transposed = false;
        ld = checked_int(std::max<std::size_t>(1, v.rows));
        return fits_lapack(v.rows);
    }
    if (v.cs == 1 && v.rs >= static_cast<std::ptrdiff_t>(std::max<std::size_t>(1, v.cols)) && fits_lapack(v.rs)) {
        transposed = true;
        ld = checked_int(static_cast<std::size_t>(v.rs));
        return true;
    }
    if (v.rows == 1 && v.cs == 1) {
        transposed = true;
        ld = checked_int(std::max<std::size_t>(1, v.cols));
        return fits_lapack(v.cols);
    }
    return false;
}
}  // namespace

Matrix matmul(const MatView& a, const MatView& b) {
    const std::size_t m = a.rows, k = a.cols, n = b.cols;
    Matrix c = Matrix::zeros(m, n);
    if (m == 0 || n == 0 || k == 0) return c;
    bool ta = false, tb = false;
    lapack_int lda = 0, ldb = 0;
    const bool big = m >= 8 || n >= 8 || k >= 8;
    if (big && fits(m, n, k) && blas_layout(a, ta, lda) && blas_layout(b, tb, ldb)) {
        KV_BLAS(cblas_dgemm)(KV_CblasColMajor, ta ? KV_CblasTrans : KV_CblasNoTrans, tb ? KV_CblasTrans : KV_CblasNoTrans,
                             checked_int(m), checked_int(n), checked_int(k), 1.0, a.data, lda, b.data, ldb, 0.0,
                             c.data(), checked_int(m));
        return c;
    }
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t p = 0; p < k; ++p) {
            const double bpj = b(p, j);
            double* cj = c.col(j);
            for (std::size_t i = 0; i < m; ++i) cj[i] += a(i, p) * bpj;
        }
    return c;
}

double dot(const double* u, const double* v, std::size_t n) {
    if (n >= 32 && fits_lapack(n)) return KV_BLAS(cblas_ddot)(checked_int(n), u, 1, v, 1);
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += u[i] * v[i];
        s1 += u[i + 1] * v[i + 1];
        s2 += u[i + 2] * v[i + 2];
        s3 += u[i + 3] * v[i + 3];
    }
    for (; i < n; ++i) s0 += u[i] * v[i];
    return (s0 + s1) + (s2 + s3);
}

Vector matvec(const MatView& a, const double* v) {
    const std::size_t m = a.rows, n = a.cols;
    Vector y(m, 0.0);
    if (m == 0 || n == 0) return y;
    bool t = false;
    lapack_int lda = 0;
    if (fits(m, n) && blas_layout(a, t, lda)) {
        if (!t)
            KV_BLAS(cblas_dgemv)(KV_CblasColMajor, KV_CblasNoTrans, checked_int(m), checked_int(n), 1.0, a.data, lda,
                                 v, 1, 0.0, y.data(), 1);
        else
            KV_BLAS(cblas_dgemv)(KV_CblasColMajor, KV_CblasTrans, checked_int(n), checked_int(m), 1.0, a.data, lda,
                                 v, 1, 0.0, y.data(), 1);
        return y;
    }
    for (std::size_t j = 0; j < n; ++j) {
        const double vj = v[j];
        for (std::size_t i = 0; i < m; ++i) y[i] += a(i, j) * vj;
    }
    return y;
}

Matrix gram(const Matrix& a) {
    const std::size_t n = a.rows(), p = a.cols();
    Matrix c = Matrix::zeros(p, p);
    if (n == 0 || p == 0) return c;
    KV_BLAS(cblas_dsyrk)(KV_CblasColMajor, KV_CblasLower, KV_CblasTrans, checked_int(p), checked_int(n), 1.0,
                         a.data(), checked_int(n), 0.0, c.data(), checked_int(p));
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t i = j + 1; i < p; ++i) c(j, i) = c(i, j);
    return c;
}

Matrix gram(const MatView& a) {
    const std::size_t n = a.rows, p = a.cols;
    bool t = false;
    lapack_int ld = 0;
    if (n == 0 || p == 0 || !fits(n, p) || !blas_layout(a, t, ld)) return gram(to_matrix(a));
    Matrix c = Matrix::zeros(p, p);
    // Column-major A (n × p): C = AᵀA. Row-major A is a column-major p × n matrix B = Aᵀ: C = B·Bᵀ.
    KV_BLAS(cblas_dsyrk)(KV_CblasColMajor, KV_CblasLower, t ? KV_CblasNoTrans : KV_CblasTrans, checked_int(p),
                         checked_int(n), 1.0, a.data, ld, 0.0, c.data(), checked_int(p));
    for (std::size_t j = 0; j < p; ++j)
        for (std::size_t i = j + 1; i < p; ++i) c(j, i) = c(i, j);
    return c;
}

void gemv_update(const MatView& a, const double* v, double alpha, double beta, double* y) {
    const std::size_t m = a.rows, n = a.cols;
    if (m == 0) return;
    bool t = false;
    lapack_int lda = 0;
    if (n > 0 && fits(m, n) && blas_layout(a, t, lda)) {
        if (!t)
            KV_BLAS(cblas_dgemv)(KV_CblasColMajor, KV_CblasNoTrans, checked_int(m), checked_int(n), alpha, a.data, lda,
                                 v, 1, beta, y, 1);
        else
            KV_BLAS(cblas_dgemv)(KV_CblasColMajor, KV_CblasTrans, checked_int(n), checked_int(m), alpha, a.data, lda,
                                 v, 1, beta, y, 1);
        return;
    }
    for (std::size_t i = 0; i < m; ++i) {
        double s = 0;
        for (std::size_t j = 0; j < n; ++j) s += a(i, j) * v[j];
        y[i] = beta == 0.0 ? alpha * s : alpha * s + beta * y[i];  // y may be unset when beta is 0
    }
}

}  // namespace kv
