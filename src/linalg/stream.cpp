// Row blocks of about a megabyte of x stay in cache while BLAS reads each once for the Gram
// product (dsyrk) and once for its column sums and xᵀy (one dgemm against [1 | y]), so x crosses
// the memory bus once.
#include "linalg/stream.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include <unistd.h>

#include "linalg/lapack.hpp"

namespace kv {

namespace {

// Rows per block: block_bytes() of x for each of BLAS's threads, at least 256 rows, so that a
// block stays in cache while BLAS reads it twice, and each call has work enough to share among the
// threads (smaller blocks leave them waiting on each other at small k). Measured on two cores, the
// fit's ratio to one whole-array x.T @ x is the same at one thread and at two; the share per
// thread keeps the per-call synchronisation as small a part at 16 or 64.
std::size_t block_rows(std::size_t k) {
    const std::size_t threads = static_cast<std::size_t>(std::max(1, KV_BLAS(openblas_get_num_threads)()));
    const std::size_t doubles = block_bytes() / sizeof(double);
    return std::max<std::size_t>(doubles * std::min<std::size_t>(threads, 64) / std::max<std::size_t>(k, 1), 256);
}

// How BLAS sees a block of rows of x in place: row-major (unit column stride) or column-major
// (unit row stride), with its leading dimension; false when neither.
bool in_place_layout(const MatView& x, bool& row_major, lapack_int& ld) {
    if (x.cols == 0) return false;
    if (x.cs == 1 && x.rs >= static_cast<std::ptrdiff_t>(x.cols) && fits_lapack(static_cast<std::size_t>(x.rs))) {
        row_major = true;
        ld = checked_int(static_cast<std::size_t>(x.rs));
        return true;
    }
    if (x.rs == 1 && x.cs >= static_cast<std::ptrdiff_t>(x.rows) && fits_lapack(static_cast<std::size_t>(x.cs))) {
        row_major = false;
        ld = checked_int(static_cast<std::size_t>(x.cs));
        return true;
    }
    if (x.cols == 1 && x.rs == 1) {
        row_major = false;
        ld = checked_int(std::max<std::size_t>(x.rows, 1));
        return true;
    }
    return false;
}

}  // namespace

void pack_rows(const RowSource& src, std::size_t i0, std::size_t m, const double* w, double* buf) {
    const std::size_t width = src.width(), k = src.x.cols, off = src.ones ? 1 : 0;
    for (std::size_t i = 0; i < m; ++i) {
        const std::size_t row = i0 + i;
        double s = src.sqrt_weights ? std::sqrt((*src.sqrt_weights)[row]) * src.weight_scale : 1.0;
        if (w) s *= w[row];
        double* dst = buf + i * width;
        if (src.ones) dst[0] = s;
        for (const MatView* m : {&src.x, &src.x2}) {
            if (m->cols == 0) continue;
            const double* xr = m->data + static_cast<std::ptrdiff_t>(row) * m->rs;
            const std::size_t at = off + (m == &src.x ? 0 : k);
            if (m->cs == 1) {
                for (std::size_t j = 0; j < m->cols; ++j) dst[at + j] = xr[j] * s;
            } else {
                for (std::size_t j = 0; j < m->cols; ++j) dst[at + j] = xr[static_cast<std::ptrdiff_t>(j) * m->cs] * s;
            }
        }
        if (src.target) dst[width - 1] = (*src.target)[row] * s;
    }
}

namespace {

void mirror_lower(Matrix& g) {
    for (std::size_t j = 0; j < g.cols(); ++j)
        for (std::size_t i = j + 1; i < g.rows(); ++i) g(j, i) = g(i, j);
}

// Σ over packed blocks of buf·bufᵀ (rows carrying their row scale).
Matrix packed_gram(const RowSource& src) {
    const std::size_t n = src.x.rows, width = src.width();
    Matrix g = Matrix::zeros(width, width);
    const std::size_t b = block_rows(width);
    std::vector<double> buf(std::min(n, b) * width);
    for (std::size_t i0 = 0; i0 < n; i0 += b) {
        const std::size_t m = std::min(b, n - i0);
        pack_rows(src, i0, m, nullptr, buf.data());
        KV_BLAS(cblas_dsyrk)(KV_CblasColMajor, KV_CblasLower, KV_CblasNoTrans, checked_int(width), checked_int(m), 1.0,
                             buf.data(), checked_int(width), 1.0, g.data(), checked_int(width));
    }
    mirror_lower(g);
    return g;
}

}  // namespace

std::size_t block_bytes() {
#ifdef KORVALIS_BLOCK_BYTES
    return static_cast<std::size_t>(KORVALIS_BLOCK_BYTES);
#else
    static const std::size_t bytes = [] {
        const long l2 = sysconf(_SC_LEVEL2_CACHE_SIZE);  // glibc asks the processor (cpuid)
        // Half of it, within [128 KiB, 8 MiB]: beyond those, a reading is more likely wrong than the cache.
        if (l2 <= 0) return std::size_t{1} << 20;
        return std::clamp<std::size_t>(static_cast<std::size_t>(l2) / 2, std::size_t{128} << 10, std::size_t{8} << 20);
    }();
    return bytes;
#endif
}

Matrix streamed_gram(const RowSource& src, TargetStats* target) {
    const std::size_t n = src.x.rows, k = src.x.cols, width = src.width();
    bool row_major = false;
    lapack_int ld = 0;
    if (n == 0 || width == 0) return Matrix::zeros(width, width);
    if (src.sqrt_weights || src.x2.cols || !in_place_layout(src.x, row_major, ld) || !fits_lapack(n)) {
        if (target && src.target) {
            *target = {};
            const double c = src.weight_scale;
            for (std::size_t i = 0; i < n; ++i) {
                const double v = (*src.target)[i];
                target->sum += v;
                target->largest = std::max(target->largest, std::fabs(v));
                if (src.sqrt_weights) {
                    const double wi = (*src.sqrt_weights)[i] * c * c;
                    target->weight_sum += wi;
                    target->weighted_sum += wi * v;
                }
            }
        }
        return packed_gram(src);
    }

    // In place: xᵀx by dsyrk on each block, and xᵀ[1 | y] by one dgemm on the same block while it
    // is in cache; the sums of 1 and of y and yᵀy alongside.
    const std::size_t off = src.ones ? 1 : 0, b = block_rows(k);
    Matrix g = Matrix::zeros(width, width);
    Matrix side = Matrix::zeros(k, 2);  // xᵀ1, xᵀy
    std::vector<double> aux(std::min(n, b) * 2, 1.0);  // column-major m × 2: ones, y
    double sum_y = 0, yy = 0, largest_y = 0;
    double* gxx = g.data() + off + off * width;
    for (std::size_t i0 = 0; i0 < n; i0 += b) {
        const std::size_t m = std::min(b, n - i0);
        const double* xb = src.x.data + static_cast<std::ptrdiff_t>(i0) * src.x.rs;
        // Row-major rows are a column-major k × m matrix B: xᵀx = B·Bᵀ. Column-major rows are an m × k
        // matrix A: xᵀx = AᵀA.
        KV_BLAS(cblas_dsyrk)(KV_CblasColMajor, KV_CblasLower, row_major ? KV_CblasNoTrans : KV_CblasTrans,
                             checked_int(k), checked_int(m), 1.0, xb, ld, 1.0, gxx, checked_int(width));
        const lapack_int cols = src.target ? 2 : 1;
        if (src.target) {
            double* yb = aux.data() + m;
            for (std::size_t i = 0; i < m; ++i) {
                const double v = (*src.target)[i0 + i];
                yb[i] = v;
                sum_y += v;
                yy += v * v;
                largest_y = std::max(largest_y, std::fabs(v));
            }
        }
        std::fill(aux.begin(), aux.begin() + static_cast<std::ptrdiff_t>(m), 1.0);
        KV_BLAS(cblas_dgemm)(KV_CblasColMajor, row_major ? KV_CblasNoTrans : KV_CblasTrans, KV_CblasNoTrans,
                             checked_int(k), cols, checked_int(m), 1.0, xb, ld, aux.data(), checked_int(m), 1.0,
                             side.data(), checked_int(k));
    }
    if (target) *target = {sum_y, largest_y};
    if (src.ones) {
        g(0, 0) = static_cast<double>(n);
        for (std::size_t j = 0; j < k; ++j) g(1 + j, 0) = side(j, 0);
    }
    if (src.target) {
        const std::size_t t = width - 1;
        for (std::size_t j = 0; j < k; ++j) g(t, off + j) = side(j, 1);
        if (src.ones) g(t, 0) = sum_y;
        g(t, t) = yy;
    }
    mirror_lower(g);
    return g;
}

void streamed_residuals(const RowSource& src, const double* beta, double* out, Matrix* meat,
                        const std::function<void(std::size_t, std::size_t)>& each_block) {
    const std::size_t n = src.x.rows, k = src.x.cols, off = src.ones ? 1 : 0, width = (src.ones ? 1 : 0) + k;
    const double b0 = src.ones ? beta[0] : 0.0;
    bool row_major = false;
    lapack_int ld = 0;
    const bool in_place = n > 0 && k > 0 && fits_lapack(n) && in_place_layout(src.x, row_major, ld);
    const std::size_t b = block_rows(width);
    std::vector<double> buf(meat ? std::min(n, b) * width : 0);
    if (meat) *meat = Matrix::zeros(width, width);
    const RowSource design{src.x, nullptr, src.ones};
    for (std::size_t i0 = 0; i0 < n; i0 += b) {
        const std::size_t m = std::min(b, n - i0);
        double* e = out + i0;
        for (std::size_t i = 0; i < m; ++i) e[i] = (src.target ? (*src.target)[i0 + i] : 0.0) - b0;
        if (in_place) {
            // e ← e − x·β on the block: row-major rows are a column-major k × m matrix B, so x·β = Bᵀβ.
            const double* xb = src.x.data + static_cast<std::ptrdiff_t>(i0) * src.x.rs;
            KV_BLAS(cblas_dgemv)(KV_CblasColMajor, row_major ? KV_CblasTrans : KV_CblasNoTrans,
                                 row_major ? checked_int(k) : checked_int(m), row_major ? checked_int(m) : checked_int(k),
                                 -1.0, xb, ld, beta + off, 1, 1.0, e, 1);
        } else {
            for (std::size_t i = 0; i < m; ++i) {
                double s = 0;
                for (std::size_t j = 0; j < k; ++j) s += src.x(i0 + i, j) * beta[off + j];
                e[i] -= s;
            }
        }
        if (meat) {
            // Σ eᵢ²·dᵢdᵢᵀ while the block is in cache: the rows scaled by their residuals.
            pack_rows(design, i0, m, out, buf.data());
            KV_BLAS(cblas_dsyrk)(KV_CblasColMajor, KV_CblasLower, KV_CblasNoTrans, checked_int(width), checked_int(m),
                                 1.0, buf.data(), checked_int(width), 1.0, meat->data(), checked_int(width));
        }
        if (each_block) each_block(i0, m);
    }
    if (meat) mirror_lower(*meat);
}

}  // namespace kv
