// Products over the rows of [1 | x | y] read straight from the caller's arrays in cache-sized
// row blocks, so no n-sized copy of the data is ever made. Where x has a layout BLAS can
// describe (C- or Fortran-ordered, or a view with unit stride along one axis) each block is
// handed to BLAS in place; any other layout, and rows that carry a weight, are packed one block
// at a time into a small buffer.
#pragma once

#include <functional>

#include "linalg/matrix.hpp"

namespace kv {

// The rows [1 | x | x2 | y] of a design and its target; `ones` adds the leading column, `target`
// the trailing one, `x2` (rows × 0 when absent) more columns after x, and `sqrt_weights` (n, may
// be null) multiplies every row i by √w_i·weight_scale.
struct RowSource {
    MatView x;                         // n × k, any strides
    const VecView* target = nullptr;   // n
    bool ones = false;
    const VecView* sqrt_weights = nullptr;
    double weight_scale = 1.0;
    MatView x2{};                      // n × k2, any strides

    std::size_t width() const { return (ones ? 1 : 0) + x.cols + x2.cols + (target ? 1 : 0); }
};

// Rows [i0, i0 + m) of the source, row i times its row scale and w[i] (when given), packed as the
// columns of a column-major width × m buffer.
void pack_rows(const RowSource& src, std::size_t i0, std::size_t m, const double* w, double* buf);

// Bytes of data a streamed pass hands each BLAS thread at a time: half the processor's level-2 cache
// per core, as the C library reads it from the processor (cpuid; no file is read), 1 MiB when it
// cannot say. A block then stays in that cache while it is read a second time. A build may fix it
// with -DKORVALIS_BLOCK_BYTES=<bytes> (benchmarks/block_sizes.py compares sizes that way).
std::size_t block_bytes();

// Σyᵢ (in row order) and max|yᵢ| of the target, gathered by the Gram pass when asked for; with
// weights, also Σwᵢc² and Σwᵢc²·yᵢ (c the weight scale).
struct TargetStats {
    double sum = 0, largest = 0, weight_sum = 0, weighted_sum = 0;
};

// [1 | x | y]ᵀ[1 | x | y] (width × width, both triangles), in one pass over the rows; with `target`,
// also the target's sum and largest magnitude.
Matrix streamed_gram(const RowSource& rows, TargetStats* target = nullptr);

// out ← target − [1 | x]·beta (beta: the ones column's coefficient first when `ones`), reading x in
// place block by block; `target` may be absent (then out starts at zero). The weights and x2 are
// not read. With `meat`, also Σᵢ eᵢ²·dᵢdᵢᵀ over the rows dᵢ = [1 | xᵢ] from the same pass (HC0).
// `each_block(i0, m)`, when given, is called once the residuals of rows [i0, i0 + m) are formed,
// while they and the block's target are in cache.
void streamed_residuals(const RowSource& rows, const double* beta, double* out, Matrix* meat = nullptr,
                        const std::function<void(std::size_t, std::size_t)>& each_block = {});

}  // namespace kv
