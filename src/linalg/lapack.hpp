// Prototypes of the LAPACK and CBLAS routines we call, named through one macro so the
// symbol prefix of the OpenBLAS build (scipy-openblas32 exports scipy_dgemm_ ...) lives here only.
// LAPACK integers are 32-bit; every size crosses into them through checked_int().
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#ifndef KORVALIS_BLAS_PREFIX
#define KORVALIS_BLAS_PREFIX
#endif
#define KV_CONCAT_(a, b) a##b
#define KV_CONCAT(a, b) KV_CONCAT_(a, b)
#define KV_BLAS(name) KV_CONCAT(KORVALIS_BLAS_PREFIX, name)

namespace kv {
using lapack_int = std::int32_t;

constexpr std::size_t lapack_int_max = static_cast<std::size_t>(std::numeric_limits<lapack_int>::max());

inline bool fits_lapack(std::size_t v) { return v <= lapack_int_max; }
// The words for a dimension beyond what LAPACK's 32-bit integers address.
inline std::string lapack_limit_message() {
    return "Input too large: each dimension must be at most " + std::to_string(lapack_int_max) +
           " (the 32-bit LAPACK limit)";
}
// Callers check fits_lapack first and word their own refusal; a size that slipped past them is a
// programming error, stopped here rather than handed to LAPACK wrapped around.
inline lapack_int checked_int(std::size_t v) {
    if (!fits_lapack(v)) throw std::overflow_error("size beyond LAPACK's 32-bit integers");
    return static_cast<lapack_int>(v);
}
}  // namespace kv

extern "C" {
using kv::lapack_int;
// CBLAS enums (values fixed by the CBLAS standard).
enum { KV_CblasRowMajor = 101, KV_CblasColMajor = 102 };
enum { KV_CblasNoTrans = 111, KV_CblasTrans = 112 };
enum { KV_CblasUpper = 121, KV_CblasLower = 122 };

void KV_BLAS(cblas_dgemm)(int order, int transa, int transb, lapack_int m, lapack_int n, lapack_int k, double alpha,
                          const double* a, lapack_int lda, const double* b, lapack_int ldb, double beta, double* c,
                          lapack_int ldc);
void KV_BLAS(cblas_dgemv)(int order, int trans, lapack_int m, lapack_int n, double alpha, const double* a,
                          lapack_int lda, const double* x, lapack_int incx, double beta, double* y, lapack_int incy);
double KV_BLAS(cblas_ddot)(lapack_int n, const double* x, lapack_int incx, const double* y, lapack_int incy);
void KV_BLAS(cblas_dsyrk)(int order, int uplo, int trans, lapack_int n, lapack_int k, double alpha, const double* a,
                          lapack_int lda, double beta, double* c, lapack_int ldc);
double KV_BLAS(cblas_dnrm2)(lapack_int n, const double* x, lapack_int incx);
int KV_BLAS(openblas_get_num_threads)();

// LAPACK (Fortran calling convention; trailing hidden string lengths).
void KV_BLAS(dgetrf_)(const lapack_int* m, const lapack_int* n, double* a, const lapack_int* lda, lapack_int* ipiv,
                      lapack_int* info);
void KV_BLAS(dgecon_)(const char* norm, const lapack_int* n, const double* a, const lapack_int* lda,
                      const double* anorm, double* rcond, double* work, lapack_int* iwork, lapack_int* info,
                      std::size_t norm_len);
void KV_BLAS(dgetri_)(const lapack_int* n, double* a, const lapack_int* lda, const lapack_int* ipiv, double* work,
                      const lapack_int* lwork, lapack_int* info);
void KV_BLAS(dpotrf_)(const char* uplo, const lapack_int* n, double* a, const lapack_int* lda, lapack_int* info,
                      std::size_t uplo_len);
void KV_BLAS(dpocon_)(const char* uplo, const lapack_int* n, const double* a, const lapack_int* lda,
                      const double* anorm, double* rcond, double* work, lapack_int* iwork, lapack_int* info,
                      std::size_t uplo_len);
void KV_BLAS(dtrtrs_)(const char* uplo, const char* trans, const char* diag, const lapack_int* n,
                      const lapack_int* nrhs, const double* a, const lapack_int* lda, double* b,
                      const lapack_int* ldb, lapack_int* info, std::size_t, std::size_t, std::size_t);
void KV_BLAS(dtrcon_)(const char* norm, const char* uplo, const char* diag, const lapack_int* n, const double* a,
                      const lapack_int* lda, double* rcond, double* work, lapack_int* iwork, lapack_int* info,
                      std::size_t, std::size_t, std::size_t);
void KV_BLAS(dgelsd_)(const lapack_int* m, const lapack_int* n, const lapack_int* nrhs, double* a,
                      const lapack_int* lda, double* b, const lapack_int* ldb, double* s, const double* rcond,
                      lapack_int* rank, double* work, const lapack_int* lwork, lapack_int* iwork, lapack_int* info);
void KV_BLAS(dgeqrf_)(const lapack_int* m, const lapack_int* n, double* a, const lapack_int* lda, double* tau,
                      double* work, const lapack_int* lwork, lapack_int* info);
void KV_BLAS(dormqr_)(const char* side, const char* trans, const lapack_int* m, const lapack_int* n,
                      const lapack_int* k, const double* a, const lapack_int* lda, const double* tau, double* c,
                      const lapack_int* ldc, double* work, const lapack_int* lwork, lapack_int* info, std::size_t,
                      std::size_t);
void KV_BLAS(dgesdd_)(const char* jobz, const lapack_int* m, const lapack_int* n, double* a, const lapack_int* lda,
                      double* s, double* u, const lapack_int* ldu, double* vt, const lapack_int* ldvt, double* work,
                      const lapack_int* lwork, lapack_int* iwork, lapack_int* info, std::size_t);
double KV_BLAS(dlange_)(const char* norm, const lapack_int* m, const lapack_int* n, const double* a,
                        const lapack_int* lda, double* work, std::size_t);
}
