// The only translation unit that includes NumPy's headers.
#define PY_ARRAY_UNIQUE_SYMBOL korvalis_ARRAY_API
#include "binding/numpy_bridge.hpp"

#include <numpy/arrayobject.h>
#include <numpy/npy_2_compat.h>

#include <cstring>

#include "linalg/lapack.hpp"

namespace kv::py {

// NumPy's own import_array macros print the failure to stderr before replacing it; here
// nothing is printed: the failure becomes ImportError with the original error as its cause.
// An exception that is not an Exception (KeyboardInterrupt, SystemExit) propagates as it is.
// A failed load is retried by the next array conversion.
bool ensure_numpy() {
    if (PyArray_API != nullptr) return true;
    if (_import_array() >= 0) return true;
    // The table may have been found before a version check refused it: never use it then.
    PyArray_API = nullptr;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "NumPy's C API could not be loaded");
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyObject *type, *cause, *tb;
    PyErr_Fetch(&type, &cause, &tb);
    PyErr_NormalizeException(&type, &cause, &tb);
    if (tb) PyException_SetTraceback(cause, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyObject* error = PyObject_CallFunction(PyExc_ImportError, "s", "numpy._core.multiarray failed to import");
    if (!error) {
        Py_DECREF(cause);
        return false;
    }
    PyException_SetContext(error, Py_NewRef(cause));  // steals a reference
    PyException_SetCause(error, cause);               // steals the other; "raise ... from cause"
    PyErr_SetObject(PyExc_ImportError, error);
    Py_DECREF(error);
    return false;
}

namespace {
bool is_native_f64(PyArray_Descr* d) {
    return d->type_num == NPY_DOUBLE && PyArray_ISNBO(d->byteorder);
}
bool is_native_i64(PyArray_Descr* d) {
    return (d->type_num == NPY_LONG || d->type_num == NPY_LONGLONG) && PyDataType_ELSIZE(d) == 8 &&
           PyArray_ISNBO(d->byteorder);
}
}  // namespace

ArrayHold::Outcome ArrayHold::borrow_f64(PyObject* obj, int ndim, MatView& out2, VecView& out1) {
    if (!ensure_numpy()) return Outcome::PythonError;
    if (!PyArray_Check(obj)) return Outcome::WrongType;
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != ndim || !is_native_f64(PyArray_DESCR(arr))) return Outcome::WrongType;
    const npy_intp* shape = PyArray_DIMS(arr);
    const npy_intp* strides = PyArray_STRIDES(arr);
    const std::size_t rows = static_cast<std::size_t>(shape[0]);
    const std::size_t cols = ndim == 2 ? static_cast<std::size_t>(shape[1]) : 1;
    // Refused here, before the unaligned copy below or any estimator's copy: a zero-stride
    // view of 2^31 rows costs the caller nothing but would cost us gigabytes.
    rows_ = rows;
    cols_ = cols;
    if (!fits_lapack(rows) || !fits_lapack(cols)) return Outcome::TooLarge;
    Py_INCREF(obj);
    array_ = obj;
    const double* base = static_cast<const double*>(PyArray_DATA(arr));
    std::ptrdiff_t rs = strides[0] / 8, cs = ndim == 2 ? strides[1] / 8 : 0;
    bool aligned = PyArray_ISALIGNED(arr) && strides[0] % 8 == 0 && (ndim == 1 || strides[1] % 8 == 0);
    if (!aligned && rows * cols > 0) {
        // Gather element by element with memcpy into a C-ordered aligned buffer.
        const std::size_t count = rows * cols;
        copy_.reset(new std::uint8_t[count * sizeof(double)]);
        auto* dst = reinterpret_cast<double*>(copy_.get());
        const auto* src = static_cast<const char*>(PyArray_DATA(arr));
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < cols; ++j)
                std::memcpy(dst + i * cols + j,
                            src + static_cast<npy_intp>(i) * strides[0] + (ndim == 2 ? static_cast<npy_intp>(j) * strides[1] : 0),
                            sizeof(double));
        base = dst;
        rs = static_cast<std::ptrdiff_t>(cols);
        cs = 1;
    }
    if (ndim == 2) {
        out2 = MatView{base, rows, cols, rs, cs};
    } else {
        out1 = VecView{base, rows, rs};
    }
    return Outcome::Ok;
}

ArrayHold::Outcome ArrayHold::borrow_i64(PyObject* obj, IdView& out) {
    if (!ensure_numpy()) return Outcome::PythonError;
    if (!PyArray_Check(obj)) return Outcome::WrongType;
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != 1 || !is_native_i64(PyArray_DESCR(arr))) return Outcome::WrongType;
    const std::size_t n = static_cast<std::size_t>(PyArray_DIMS(arr)[0]);
    rows_ = n;
    cols_ = 1;
    if (!fits_lapack(n)) return Outcome::TooLarge;
    Py_INCREF(obj);
    array_ = obj;
    const npy_intp stride = PyArray_STRIDES(arr)[0];
    const auto* base = static_cast<const std::int64_t*>(PyArray_DATA(arr));
    if ((!PyArray_ISALIGNED(arr) || stride % 8 != 0) && n > 0) {
        copy_.reset(new std::uint8_t[n * sizeof(std::int64_t)]);
        auto* dst = reinterpret_cast<std::int64_t*>(copy_.get());
        const auto* src = static_cast<const char*>(PyArray_DATA(arr));
        for (std::size_t i = 0; i < n; ++i)
            std::memcpy(dst + i, src + static_cast<npy_intp>(i) * stride, sizeof(std::int64_t));
        out = IdView{dst, n, 1};
        return Outcome::Ok;
    }
    out = IdView{base, n, stride / 8};
    return Outcome::Ok;
}

PyObject* new_vector(const double* data, std::size_t n) {
    if (!ensure_numpy()) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    PyObject* out = PyArray_SimpleNew(1, dims, NPY_DOUBLE);
    if (out && n) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)), data, n * sizeof(double));
    return out;
}

PyObject* new_vector(const VectorOut& v) {
    if (!ensure_numpy()) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(v.size)};
    PyObject* out = PyArray_SimpleNew(1, dims, NPY_DOUBLE);
    if (out && v.size) v.fill(static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out))));
    return out;
}

PyObject* new_matrix(const Matrix& m) {
    if (!ensure_numpy()) return nullptr;
    npy_intp dims[2] = {static_cast<npy_intp>(m.rows()), static_cast<npy_intp>(m.cols())};
    PyObject* out = PyArray_SimpleNew(2, dims, NPY_DOUBLE);
    if (!out) return nullptr;
    auto* dst = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)));
    for (std::size_t i = 0; i < m.rows(); ++i)
        for (std::size_t j = 0; j < m.cols(); ++j) dst[i * m.cols() + j] = m(i, j);
    return out;
}

}  // namespace kv::py
