// Dense storage and read-only views shared by the numerical core.
// Owned matrices are column-major (LAPACK's layout); views describe caller memory
// with arbitrary element strides, so any NumPy layout is read in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <vector>

namespace kv {

using Vector = std::vector<double>;

// Read-only strided view of an m × n matrix of doubles (strides in elements, may be 0 or negative).
struct MatView {
    const double* data = nullptr;
    std::size_t rows = 0, cols = 0;
    std::ptrdiff_t rs = 0, cs = 0;

    double operator()(std::size_t i, std::size_t j) const {
        return data[static_cast<std::ptrdiff_t>(i) * rs + static_cast<std::ptrdiff_t>(j) * cs];
    }
    bool col_major() const { return rs == 1 && (cs == static_cast<std::ptrdiff_t>(rows) || cols <= 1); }
    bool row_major() const { return cs == 1 && (rs == static_cast<std::ptrdiff_t>(cols) || rows <= 1); }
};

// Read-only strided view of a vector.
template <class T>
struct StridedView {
    const T* data = nullptr;
    std::size_t size = 0;
    std::ptrdiff_t stride = 1;

    T operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * stride]; }
};
using VecView = StridedView<double>;
using IdView = StridedView<std::int64_t>;

// Owned column-major matrix. Storage is left uninitialised unless asked for, so large
// copies cost one pass over memory, not two.
class Matrix {
public:
    Matrix() = default;
    Matrix(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols), data_(allocate(rows * cols)) {}
    static Matrix zeros(std::size_t rows, std::size_t cols) {
        Matrix m(rows, cols);
        if (m.size()) std::memset(m.data(), 0, m.size() * sizeof(double));
        return m;
    }
    static Matrix identity(std::size_t n) {
        Matrix m = zeros(n, n);
        for (std::size_t i = 0; i < n; ++i) m(i, i) = 1.0;
        return m;
    }

    Matrix(const Matrix& o) : rows_(o.rows_), cols_(o.cols_), data_(allocate(o.size())) {
        if (size()) std::memcpy(data(), o.data(), size() * sizeof(double));
    }
    Matrix& operator=(const Matrix& o) {
        if (this != &o) *this = Matrix(o);
        return *this;
    }
    Matrix(Matrix&&) noexcept = default;
    Matrix& operator=(Matrix&&) noexcept = default;

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    std::size_t size() const { return rows_ * cols_; }
    double* data() { return data_.get(); }
    const double* data() const { return data_.get(); }
    double* col(std::size_t j) { return data() + j * rows_; }
    const double* col(std::size_t j) const { return data() + j * rows_; }
    double& operator()(std::size_t i, std::size_t j) { return data_[j * rows_ + i]; }
    double operator()(std::size_t i, std::size_t j) const { return data_[j * rows_ + i]; }

    MatView view() const {
        return {data(), rows_, cols_, 1, static_cast<std::ptrdiff_t>(rows_)};
    }
    MatView transposed() const {
        return {data(), cols_, rows_, static_cast<std::ptrdiff_t>(rows_), 1};
    }

private:
    struct Release {
        void operator()(double* p) const noexcept { std::free(p); }
    };
    using Buffer = std::unique_ptr<double[], Release>;
    // Throws std::bad_alloc (MemoryError at the boundary) when the request cannot be met.
    static Buffer allocate(std::size_t count);
    std::size_t rows_ = 0, cols_ = 0;
    Buffer data_;
};

inline VecView view_of(const Vector& v) { return {v.data(), v.size(), 1}; }

// A vector result written straight into the storage that is handed to the caller (a fresh NumPy
// array), so it is never held twice: its length and the function that fills it.
struct VectorOut {
    std::size_t size = 0;
    std::function<void(double*)> fill;
};

// A vector as an n × 1 matrix (a right-hand side for the matrix operations).
inline Matrix column_matrix(const Vector& v) {
    Matrix m(v.size(), 1);
    if (!v.empty()) std::memcpy(m.data(), v.data(), v.size() * sizeof(double));
    return m;
}

// Copies a strided view into a column-major matrix, placing it at column offset `col0` of `out`.
void copy_into(const MatView& src, Matrix& out, std::size_t col0 = 0);
Matrix to_matrix(const MatView& src);
Vector to_vector(const VecView& src);

}  // namespace kv
