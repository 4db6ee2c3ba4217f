// NumPy arrays in and out. Borrowing checks the exact type rules (ndarray or subclass,
// dimension count, float64 or int64 in native byte order) and yields a strided view of the
// caller's memory; unaligned data is copied once into an aligned buffer. Nothing is converted.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "linalg/matrix.hpp"

namespace kv::py {

// Loads NumPy's C API on first use (not at import). Returns false with a Python error set.
bool ensure_numpy();

// Keeps a borrowed array alive (and owns an aligned copy when the source was unaligned).
class ArrayHold {
public:
    ArrayHold() = default;
    ArrayHold(const ArrayHold&) = delete;
    ArrayHold& operator=(const ArrayHold&) = delete;
    ~ArrayHold() { Py_XDECREF(array_); }

    // TooLarge: a dimension beyond the 32-bit LAPACK/BLAS integers, found before any copy.
    enum class Outcome { Ok, WrongType, TooLarge, PythonError };
    Outcome borrow_f64(PyObject* obj, int ndim, MatView& out2, VecView& out1);
    Outcome borrow_i64(PyObject* obj, IdView& out);
    // The shape of the array refused with TooLarge (columns 1 for a vector).
    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }

private:
    PyObject* array_ = nullptr;
    std::unique_ptr<std::uint8_t[]> copy_;
    std::size_t rows_ = 0, cols_ = 0;
};

PyObject* new_vector(const double* data, std::size_t n);
// A fresh float64 array of v.size elements that v.fill writes.
PyObject* new_vector(const VectorOut& v);
PyObject* new_matrix(const Matrix& m);  // C-ordered result

}  // namespace kv::py
