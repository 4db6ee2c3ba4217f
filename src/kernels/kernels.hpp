// The private kernel module korvalis._kernels: entry points for korvalis's Python submodules (the Dask and formula
// layers), never part of the six classes' surface. Each file here contributes one table of entry points; the module
// is their concatenation. Kernels that only read arrays they hold release the interpreter lock while they compute.
#pragma once

#include <Python.h>

#include <span>

namespace kv::kernels {

// Row-chunk kernels: the per-chunk rounds of a fit and their merges.
std::span<const PyMethodDef> chunk_methods();
// Private readings of a fitted estimator for the formula layer: covariance, inference over every parameter, the
// named report.
std::span<const PyMethodDef> accessor_methods();

}  // namespace kv::kernels
