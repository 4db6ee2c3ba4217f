// Row-chunk kernels of the fits over chunks (korvalis.dask): each round's chunk kernel and merge,
// the solve and commit on an estimator object, and the per-chunk residuals and predictions. Chunk
// kernels hold every array they read for the whole call and release the interpreter lock while they
// compute, so a threaded scheduler runs them side by side. Accumulators travel as flat float64
// arrays (rounds.hpp).
#include <Python.h>

#include <cstring>
#include <new>
#include <optional>
#include <type_traits>

#include "binding/binding.hpp"
#include "binding/numpy_bridge.hpp"
#include "kernels/kernels.hpp"
#include "linalg/linalg.hpp"
#include "models/linear/iv.hpp"
#include "models/linear/ols.hpp"
#include "models/linear/tsls.hpp"
#include "models/linear/wls.hpp"
#include "models/rounds.hpp"

namespace kv::kernels {

namespace {

using py::ArrayHold;

// Runs `f` with the interpreter lock released; false (MemoryError set) when it ran out of memory.
template <class F>
bool unlocked(F&& f) {
    bool ok = true;
    Py_BEGIN_ALLOW_THREADS
    try {
        f();
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    Py_END_ALLOW_THREADS
    if (!ok) PyErr_NoMemory();
    return ok;
}

// The float64 arrays a kernel reads, held for the whole call.
struct Arrays {
    ArrayHold holds[6];
    int used = 0;
    bool matrix(PyObject* obj, MatView& out) {
        VecView unused;
        return take(obj, 2, out, unused);
    }
    bool vector(PyObject* obj, VecView& out) {
        MatView unused;
        return take(obj, 1, unused, out);
    }
    // None gives an absent (rows × 0) matrix.
    bool optional_matrix(PyObject* obj, MatView& out) {
        if (obj == Py_None) return true;
        return matrix(obj, out);
    }
    // None gives an absent vector.
    bool optional_vector(PyObject* obj, VecView& out, const VecView*& ptr) {
        ptr = nullptr;
        if (obj == Py_None) return true;
        ptr = &out;
        return vector(obj, out);
    }

private:
    bool take(PyObject* obj, int ndim, MatView& m, VecView& v) {
        switch (holds[used++].borrow_f64(obj, ndim, m, v)) {
            case ArrayHold::Outcome::Ok: return true;
            case ArrayHold::Outcome::PythonError: return false;
            default: PyErr_SetString(PyExc_TypeError, "korvalis._kernels: float64 array expected"); return false;
        }
    }
};

PyObject* packed(const Vector& v) { return py::new_vector(v.data(), v.size()); }

// The column scales of a rescaled fit (None or absent: none).
bool scales_of(Arrays& a, PyObject* obj, Vector& out, const Vector*& ptr) {
    ptr = nullptr;
    if (!obj || obj == Py_None) return true;
    VecView v;
    if (!a.vector(obj, v)) return false;
    out = to_vector(v);
    ptr = &out;
    return true;
}

// The rows [1 | x | x2 | y] of a chunk.
RowSource design_rows(const MatView& x, const MatView& x2, const VecView& y, bool intercept) {
    RowSource rows{x, &y, intercept};
    rows.x2 = x2;
    return rows;
}

// Runs `add` on the rows as they are, or on scaled copies of them when scales are given.
template <class Add>
void on_rows(const RowSource& rows, const Vector* scales, Add&& add) {
    if (scales)
        rounds::for_scaled_blocks(rows, *scales, add);
    else
        add(rows);
}

// x2: None, or a second block of columns after x (an instrumental fit's regressors after its instruments).
PyObject* gram_chunk(PyObject*, PyObject* args) {
    PyObject *xo, *x2o, *yo, *wo, *so = nullptr;
    int intercept;
    if (!PyArg_ParseTuple(args, "OOOOp|O", &xo, &x2o, &yo, &wo, &intercept, &so)) return nullptr;
    Arrays a;
    MatView x, x2;
    VecView y, w;
    const VecView* weights;
    Vector c;
    const Vector* scales;
    if (!a.matrix(xo, x) || !a.optional_matrix(x2o, x2) || !a.vector(yo, y) || !a.optional_vector(wo, w, weights) ||
        !scales_of(a, so, c, scales))
        return nullptr;
    rounds::GramRound g;
    if (!unlocked([&] {
            on_rows(design_rows(x, x2, y, intercept != 0), scales,
                    [&](const RowSource& rows) { g.add(rows, weights); });
        }))
        return nullptr;
    return packed(g.pack());
}

// With params (not None), the factor of [D | y − D·params] (a refinement round).
PyObject* factor_chunk(PyObject*, PyObject* args) {
    PyObject *xo, *x2o, *yo, *wo, *bo, *so = nullptr;
    int intercept, shift;
    if (!PyArg_ParseTuple(args, "OOOOpiO|O", &xo, &x2o, &yo, &wo, &intercept, &shift, &bo, &so)) return nullptr;
    Arrays a;
    MatView x, x2;
    VecView y, w, beta;
    const VecView* weights;
    const VecView* params;
    Vector c;
    const Vector* scales;
    if (!a.matrix(xo, x) || !a.optional_matrix(x2o, x2) || !a.vector(yo, y) || !a.optional_vector(wo, w, weights) ||
        !a.optional_vector(bo, beta, params) || !scales_of(a, so, c, scales))
        return nullptr;
    const Vector b = params ? to_vector(beta) : Vector{};
    rounds::FactorRound f;
    if (!unlocked([&] {
            on_rows(design_rows(x, x2, y, intercept != 0), scales, [&](const RowSource& rows) {
                f.add(rows, weights, shift, params ? b.data() : nullptr);
            });
        }))
        return nullptr;
    return packed(f.pack());
}

PyObject* residual_chunk(PyObject*, PyObject* args) {
    PyObject *xo, *yo, *wo, *bo, *so = nullptr;
    int intercept, shift, moments, hc0;
    if (!PyArg_ParseTuple(args, "OOOpiOpp|O", &xo, &yo, &wo, &intercept, &shift, &bo, &moments, &hc0, &so))
        return nullptr;
    Arrays a;
    MatView x;
    VecView y, w, beta;
    const VecView* weights;
    Vector c;
    const Vector* scales;
    if (!a.matrix(xo, x) || !a.vector(yo, y) || !a.optional_vector(wo, w, weights) || !a.vector(bo, beta) ||
        !scales_of(a, so, c, scales))
        return nullptr;
    const Vector b = to_vector(beta);
    rounds::ResidualRound r;
    if (!unlocked([&] {
            on_rows(RowSource{x, &y, intercept != 0}, scales, [&](const RowSource& rows) {
                r.add(rows, weights, shift, b.data(), moments, hc0);
            });
        }))
        return nullptr;
    return packed(r.pack());
}

// The largest magnitude of each column of [x | y] over a chunk.
PyObject* range_chunk(PyObject*, PyObject* args) {
    PyObject *xo, *yo;
    if (!PyArg_ParseTuple(args, "OO", &xo, &yo)) return nullptr;
    Arrays a;
    MatView x;
    VecView y;
    if (!a.matrix(xo, x) || !a.vector(yo, y)) return nullptr;
    rounds::RangeRound r;
    if (!unlocked([&] { r.add(RowSource{x, &y, false}); })) return nullptr;
    return packed(r.pack());
}

// The column scales of [1 | x | y] from a merged range round, or None when the merged Gram is in range.
PyObject* rescale(PyObject*, PyObject* args) {
    PyObject *go, *ro;
    int intercept;
    if (!PyArg_ParseTuple(args, "OOp", &go, &ro, &intercept)) return nullptr;
    Arrays a;
    VecView g;
    if (!a.vector(go, g)) return nullptr;
    if (!rounds::needs_rescale(rounds::GramRound::unpack(g))) Py_RETURN_NONE;
    if (ro == Py_None) Py_RETURN_TRUE;  // asks for the range round
    VecView r;
    if (!a.vector(ro, r)) return nullptr;
    return packed(rounds::RangeRound::unpack(r).scales(intercept != 0));
}

// y − [1 | x]β for one chunk: the lazily computed residuals.
PyObject* residuals_chunk(PyObject*, PyObject* args) {
    PyObject *xo, *yo, *bo;
    int intercept;
    if (!PyArg_ParseTuple(args, "OOpO", &xo, &yo, &intercept, &bo)) return nullptr;
    Arrays a;
    MatView x;
    VecView y, beta;
    if (!a.matrix(xo, x) || !a.vector(yo, y) || !a.vector(bo, beta)) return nullptr;
    const Vector b = to_vector(beta);
    Vector e(x.rows);
    if (!unlocked([&] { streamed_residuals(RowSource{x, &y, intercept != 0}, b.data(), e.data()); })) return nullptr;
    return py::new_vector(e.data(), e.size());
}

// [1 | x]β for one chunk.
PyObject* predict_chunk(PyObject*, PyObject* args) {
    PyObject *xo, *bo;
    int intercept;
    if (!PyArg_ParseTuple(args, "OpO", &xo, &intercept, &bo)) return nullptr;
    Arrays a;
    MatView x;
    VecView beta;
    if (!a.matrix(xo, x) || !a.vector(bo, beta)) return nullptr;
    Vector b = to_vector(beta);
    for (double& v : b) v = -v;  // residuals of a zero target are −[1 | x]β
    Vector out(x.rows);
    if (!unlocked([&] { streamed_residuals(RowSource{x, nullptr, intercept != 0}, b.data(), out.data()); }))
        return nullptr;
    return py::new_vector(out.data(), out.size());
}

template <class Round, class... Extra>
PyObject* merge(PyObject* args, Extra... extra) {
    PyObject *ao, *bo;
    if (!PyArg_ParseTuple(args, "OO", &ao, &bo)) return nullptr;
    Arrays arrays;
    VecView a, b;
    if (!arrays.vector(ao, a) || !arrays.vector(bo, b)) return nullptr;
    Vector out;
    if (!unlocked([&] {
            Round r = Round::unpack(a, extra...);
            r.merge(Round::unpack(b, extra...));
            out = r.pack();
        }))
        return nullptr;
    return packed(out);
}
PyObject* merge_gram(PyObject*, PyObject* args) { return merge<rounds::GramRound>(args); }
PyObject* merge_factor(PyObject*, PyObject* args) { return merge<rounds::FactorRound>(args); }
PyObject* merge_residual(PyObject*, PyObject* args) { return merge<rounds::ResidualRound>(args, std::size_t{0}); }
PyObject* merge_range(PyObject*, PyObject* args) { return merge<rounds::RangeRound>(args); }

// ---------------------------------------------------------------- estimator objects

// The estimator behind `obj` when it is an instance of korvalis's class `name`.
template <class Model>
py::Object<Model>* estimator(PyObject* obj, const char* name) {
    PyObject* module = PyImport_ImportModule("korvalis");
    if (!module) return nullptr;
    PyObject* type = PyObject_GetAttrString(module, name);
    Py_DECREF(module);
    if (!type) return nullptr;
    const bool match = Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(type);
    Py_DECREF(type);
    return match ? reinterpret_cast<py::Object<Model>*>(obj) : nullptr;
}

constexpr const char* solution_name = "korvalis._kernels.Solution";

void free_solution(PyObject* capsule) {
    delete static_cast<Solution*>(PyCapsule_GetPointer(capsule, solution_name));
}

// (solution, params, weight shift), or None when a route needs the factor round.
template <class Model>
PyObject* solve_on(py::Object<Model>* obj, std::size_t q, std::size_t k, const VecView& g, const VecView* f,
                   const Vector* scales) {
    py::Hold hold(obj->borrow, py::Access::Shared);
    if (!hold.ok()) return nullptr;
    std::optional<Result<std::optional<Solution>>> sol;
    rounds::GramRound gram;
    if (!unlocked([&] {
            gram = rounds::GramRound::unpack(g);
            std::optional<rounds::FactorRound> factor;
            if (f) factor = rounds::FactorRound::unpack(*f);
            if constexpr (std::is_same_v<Model, OLS>)
                sol = obj->model.solve_rounds(q, k, gram, factor ? &*factor : nullptr, scales);
            else
                sol = obj->model.solve_rounds(q, k, gram, factor ? &*factor : nullptr);
        }))
        return nullptr;
    if (!*sol) {
        py::raise_error(sol->error());
        return nullptr;
    }
    if (!**sol) Py_RETURN_NONE;
    auto* kept = new (std::nothrow) Solution(std::move(***sol));
    if (!kept) return PyErr_NoMemory();
    PyObject* params = py::new_vector(kept->beta.data(), kept->beta.size());
    PyObject* capsule = params ? PyCapsule_New(kept, solution_name, free_solution) : nullptr;
    if (!capsule) {
        delete kept;
        Py_XDECREF(params);
        return nullptr;
    }
    return Py_BuildValue("(NNi)", capsule, params, gram.shift);
}

template <class Model>
PyObject* commit_on(py::Object<Model>* obj, std::size_t k, PyObject* capsule, const VecView& r, const Vector* scales) {
    auto* sol = static_cast<Solution*>(PyCapsule_GetPointer(capsule, solution_name));
    if (!sol) return nullptr;
    py::Hold hold(obj->borrow, py::Access::Exclusive);
    if (!hold.ok()) return nullptr;
    Status done;
    if (!unlocked([&] {
            const rounds::ResidualRound round = rounds::ResidualRound::unpack(r, 0);
            if constexpr (std::is_same_v<Model, OLS>)
                done = obj->model.commit_rounds(k, *sol, round, scales);
            else
                done = obj->model.commit_rounds(k, *sol, round);
        }))
        return nullptr;
    return py::finish(std::move(done));
}

// β + R⁻¹(Qᵀr) on a kept solution, from a merged factor round on its residuals; returns the new params.
PyObject* refine(PyObject*, PyObject* args) {
    PyObject *capsule, *fo;
    if (!PyArg_ParseTuple(args, "OO", &capsule, &fo)) return nullptr;
    auto* sol = static_cast<Solution*>(PyCapsule_GetPointer(capsule, solution_name));
    if (!sol) return nullptr;
    Arrays a;
    VecView f;
    if (!a.vector(fo, f)) return nullptr;
    if (!rounds::refine(*sol, rounds::FactorRound::unpack(f))) {
        PyErr_SetString(PyExc_ValueError, "korvalis._kernels.refine: the factor does not fit the solution");
        return nullptr;
    }
    return py::new_vector(sol->beta.data(), sol->beta.size());
}

PyObject* solve(PyObject*, PyObject* args) {
    PyObject *model, *go, *fo, *so = nullptr;
    Py_ssize_t q, k;
    if (!PyArg_ParseTuple(args, "OnnOO|O", &model, &q, &k, &go, &fo, &so)) return nullptr;
    Arrays a;
    VecView g, f;
    const VecView* factor;
    Vector c;
    const Vector* scales;
    if (!a.vector(go, g) || !a.optional_vector(fo, f, factor) || !scales_of(a, so, c, scales)) return nullptr;
    const auto qs = static_cast<std::size_t>(q), ks = static_cast<std::size_t>(k);
    if (auto* o = estimator<OLS>(model, "OLS")) return solve_on(o, qs, ks, g, factor, scales);
    if (auto* o = estimator<WLS>(model, "WLS")) return solve_on(o, qs, ks, g, factor, scales);
    if (auto* o = estimator<IV>(model, "IV")) return solve_on(o, qs, ks, g, factor, scales);
    if (auto* o = estimator<TSLS>(model, "TSLS")) return solve_on(o, qs, ks, g, factor, scales);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "korvalis._kernels.solve: not a chunked estimator");
    return nullptr;
}

PyObject* commit(PyObject*, PyObject* args) {
    PyObject *model, *capsule, *ro, *so = nullptr;
    Py_ssize_t k;
    if (!PyArg_ParseTuple(args, "OnOO|O", &model, &k, &capsule, &ro, &so)) return nullptr;
    Arrays a;
    VecView r;
    Vector c;
    const Vector* scales;
    if (!a.vector(ro, r) || !scales_of(a, so, c, scales)) return nullptr;
    const auto cols = static_cast<std::size_t>(k);
    if (auto* o = estimator<OLS>(model, "OLS")) return commit_on(o, cols, capsule, r, scales);
    if (auto* o = estimator<WLS>(model, "WLS")) return commit_on(o, cols, capsule, r, scales);
    if (auto* o = estimator<IV>(model, "IV")) return commit_on(o, cols, capsule, r, scales);
    if (auto* o = estimator<TSLS>(model, "TSLS")) return commit_on(o, cols, capsule, r, scales);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "korvalis._kernels.commit: not a chunked estimator");
    return nullptr;
}

// Every entry point is guarded: no C++ exception reaches the interpreter.
template <PyObject* (*F)(PyObject*, PyObject*)>
PyObject* guarded(PyObject* self, PyObject* args) noexcept {
    try {
        return F(self, args);
    } catch (...) {
        return py::translate_exception();
    }
}

const PyMethodDef methods[] = {
    {"gram_chunk", guarded<gram_chunk>, METH_VARARGS, "(x, x2, y, weights, intercept[, scales]): the Gram round of a chunk."},
    {"factor_chunk", guarded<factor_chunk>, METH_VARARGS,
     "(x, x2, y, weights, intercept, shift, params[, scales]): the R factor of a chunk's [D | y] (y - D params with "
     "params)."},
    {"residual_chunk", guarded<residual_chunk>, METH_VARARGS,
     "(x, y, weights, intercept, shift, params, moments, hc0[, scales]): the residual round of a chunk."},
    {"refine", guarded<refine>, METH_VARARGS, "(solution, factor): params corrected by a factor round on residuals."},
    {"range_chunk", guarded<range_chunk>, METH_VARARGS, "(x, y): the largest magnitude of each column of a chunk."},
    {"merge_range", guarded<merge_range>, METH_VARARGS, "(a, b): two range rounds merged."},
    {"rescale", guarded<rescale>, METH_VARARGS,
     "(gram, range, intercept): None when the Gram is in range; else True (range is None) or the column scales."},
    {"residuals_chunk", guarded<residuals_chunk>, METH_VARARGS, "(x, y, intercept, params): y - [1 | x] params."},
    {"predict_chunk", guarded<predict_chunk>, METH_VARARGS, "(x, intercept, params): [1 | x] params."},
    {"merge_gram", guarded<merge_gram>, METH_VARARGS, "(a, b): two Gram rounds merged."},
    {"merge_factor", guarded<merge_factor>, METH_VARARGS, "(a, b): two factor rounds merged."},
    {"merge_residual", guarded<merge_residual>, METH_VARARGS, "(a, b): two residual rounds merged."},
    {"solve", guarded<solve>, METH_VARARGS,
     "(model, q, k, gram, factor[, scales]): the estimator's checks and solve on merged rounds; None asks for the "
     "factor."},
    {"commit", guarded<commit>, METH_VARARGS,
     "(model, k, solution, residual[, scales]): commits the fit on the estimator."},
};

}  // namespace

std::span<const PyMethodDef> chunk_methods() { return methods; }

}  // namespace kv::kernels
