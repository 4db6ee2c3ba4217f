// The meats: HC0 over row blocks of the design with dsyrk, clustered scores in one pass over the
// rows. The sandwich A⁻¹·M·A⁻¹ is two p × p products.
#include "models/covariance.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

#include "linalg/lapack.hpp"
#include "linalg/linalg.hpp"

namespace kv {

namespace {

// Rows per HC0 block: 8192 rows of up to a few dozen columns stay in the last-level cache while
// dsyrk consumes them, and are enough rows for dsyrk to run at full speed.
constexpr std::size_t hc0_block_rows = 8192;

void mirror_lower(Matrix& m) {
    for (std::size_t j = 0; j < m.cols(); ++j)
        for (std::size_t i = j + 1; i < m.rows(); ++i) m(j, i) = m(i, j);
}

Matrix sandwich(const Matrix& bread, const Matrix& meat) {
    const Matrix left = matmul(bread.view(), meat.view());
    return matmul(left.view(), bread.view());
}

}  // namespace

Matrix classical_covariance(const Matrix& bread, double sigma2) {
    Matrix out = bread;
    for (std::size_t i = 0; i < out.size(); ++i) out.data()[i] *= sigma2;
    return out;
}

Matrix hc0_covariance(const MatView& design, const Vector& e, const Matrix& bread) {
    const std::size_t n = design.rows, p = design.cols;
    Matrix meat = Matrix::zeros(p, p);
    // Dᵀdiag(e²)D = Σ over row blocks of (|e|·D_block)ᵀ(|e|·D_block): one scaled block at a time, kept
    // in the design's own orientation so the gather is a contiguous stream and dsyrk reads it as is.
    const std::size_t rows_max = std::min(n, hc0_block_rows);
    std::unique_ptr<double[]> scaled_rows(new double[std::max<std::size_t>(1, rows_max * p)]);
    const bool row_major = design.cs == 1 && p > 1;
    for (std::size_t i0 = 0; i0 < n && p > 0; i0 += hc0_block_rows) {
        const std::size_t rows = std::min(hc0_block_rows, n - i0);
        double* buf = scaled_rows.get();
        if (row_major) {
            for (std::size_t i = 0; i < rows; ++i) {
                const double* src = design.data + static_cast<std::ptrdiff_t>(i0 + i) * design.rs;
                const double w = std::fabs(e[i0 + i]);
                double* dst = buf + i * p;
                for (std::size_t j = 0; j < p; ++j) dst[j] = src[j] * w;
            }
            // buf is a column-major p × rows matrix whose columns are the scaled rows: meat += buf·bufᵀ.
            KV_BLAS(cblas_dsyrk)(KV_CblasColMajor, KV_CblasLower, KV_CblasNoTrans, checked_int(p), checked_int(rows),
                                 1.0, buf, checked_int(p), 1.0, meat.data(), checked_int(p));
        } else {
            for (std::size_t j = 0; j < p; ++j) {
                double* dst = buf + j * rows;
                for (std::size_t i = 0; i < rows; ++i) dst[i] = design(i0 + i, j) * std::fabs(e[i0 + i]);
            }
            KV_BLAS(cblas_dsyrk)(KV_CblasColMajor, KV_CblasLower, KV_CblasTrans, checked_int(p), checked_int(rows),
                                 1.0, buf, checked_int(rows), 1.0, meat.data(), checked_int(p));
        }
    }
    mirror_lower(meat);
    return sandwich(bread, meat);
}

Matrix clustered_covariance(const Matrix& design, const Vector& e, const Matrix& bread,
                            const std::vector<std::uint32_t>& codes, std::size_t clusters) {
    const std::size_t n = design.rows(), k = design.cols();
    // One pass over the rows fills the G × k score table (each score summed in row order), then
    // the outer products are added in ascending cluster order.
    Matrix scores = Matrix::zeros(clusters, k);
    for (std::size_t j = 0; j < k; ++j) {
        const double* xj = design.col(j);
        double* sj = scores.col(j);
        for (std::size_t i = 0; i < n; ++i) sj[codes[i]] += e[i] * xj[i];
    }
    Matrix meat = Matrix::zeros(k, k);
    for (std::size_t g = 0; g < clusters; ++g)
        for (std::size_t b = 0; b < k; ++b) {
            const double sb = scores(g, b);
            for (std::size_t a = b; a < k; ++a) meat(a, b) += scores(g, a) * sb;
        }
    mirror_lower(meat);
    return sandwich(bread, meat);
}

Vector standard_errors_of(const Matrix& covariance) {
    Vector se(covariance.rows());
    for (std::size_t j = 0; j < se.size(); ++j) {
        const double d = covariance(j, j);
        se[j] = std::isnan(d) ? d : (d >= 0 ? std::sqrt(d) : 0.0);
    }
    return se;
}

}  // namespace kv
