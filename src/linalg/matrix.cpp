// Layout conversion from strided views into owned column-major storage.
// Row-major input is transposed in cache-sized tiles so that both sides stream.
#include "linalg/matrix.hpp"

#include <algorithm>
#include <cstdint>
#include <new>

#include <sys/mman.h>

namespace kv {

Matrix::Buffer Matrix::allocate(std::size_t count) {
    if (count == 0) return nullptr;
    if (count > SIZE_MAX / sizeof(double)) throw std::bad_alloc();
    const std::size_t bytes = count * sizeof(double);
    // Large buffers (copies of n-sized data) are backed by transparent huge pages where the
    // kernel allows it: a first touch then faults in 2 MiB at a time instead of 4 KiB.
    constexpr std::size_t huge = std::size_t{2} << 20;
    void* p = nullptr;
    if (bytes >= 4 * huge) {
        const std::size_t rounded = (bytes + huge - 1) / huge * huge;
        p = std::aligned_alloc(huge, rounded);
        if (p) madvise(p, rounded, MADV_HUGEPAGE);
    } else {
        p = std::malloc(bytes);
    }
    if (!p) throw std::bad_alloc();
    return Buffer(static_cast<double*>(p));
}

void copy_into(const MatView& src, Matrix& out, std::size_t col0) {
    const std::size_t m = src.rows, n = src.cols;
    if (m == 0 || n == 0) return;
    if (src.rs == 1) {
        for (std::size_t j = 0; j < n; ++j)
            std::memcpy(out.col(col0 + j), src.data + static_cast<std::ptrdiff_t>(j) * src.cs, m * sizeof(double));
        return;
    }
    constexpr std::size_t tile = 64;
    for (std::size_t i0 = 0; i0 < m; i0 += tile) {
        const std::size_t i1 = std::min(m, i0 + tile);
        for (std::size_t j0 = 0; j0 < n; j0 += tile) {
            const std::size_t j1 = std::min(n, j0 + tile);
            for (std::size_t j = j0; j < j1; ++j) {
                double* dst = out.col(col0 + j);
                for (std::size_t i = i0; i < i1; ++i) dst[i] = src(i, j);
            }
        }
    }
}

Matrix to_matrix(const MatView& src) {
    Matrix out(src.rows, src.cols);
    copy_into(src, out);
    return out;
}

Vector to_vector(const VecView& src) {
    Vector out(src.size);
    if (src.stride == 1 && src.size) {
        std::memcpy(out.data(), src.data, src.size * sizeof(double));
    } else {
        for (std::size_t i = 0; i < src.size; ++i) out[i] = src[i];
    }
    return out;
}

}  // namespace kv
