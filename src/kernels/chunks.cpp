// Row-chunk kernels of the fits over chunks (korvalis.dask): each round's chunk kernel and merge,
// the solve and commit on an estimator object, and the per-chunk residuals and predictions. Chunk
// kernels hold every array they read for the whole call and release the interpreter lock while they
// compute, so a threaded scheduler runs them side by side. Accumulators travel as flat float64
// arrays (rounds.hpp).
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <type_traits>

#include "binding/binding.hpp"
#include "binding/numpy_bridge.hpp"
#include "kernels/kernels.hpp"
#include "linalg/linalg.hpp"
#include "models/linear/fit_utils.hpp"
#include "models/linear/iv.hpp"
#include "models/linear/ols.hpp"
#include "models/linear/tsls.hpp"
#include "models/linear/wls.hpp"
#include "models/panel_data/fe.hpp"
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
    ArrayHold holds[8];
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
    bool ids(PyObject* obj, IdView& out) {
        switch (holds[used++].borrow_i64(obj, out)) {
            case ArrayHold::Outcome::Ok: return true;
            case ArrayHold::Outcome::PythonError: return false;
            default: PyErr_SetString(PyExc_TypeError, "korvalis._kernels: int64 array expected"); return false;
        }
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

// ---------------------------------------------------------------- FE's rounds

// The entity round of a chunk: [rows of x, of y, of the ids, a non-finite value, rows that disagree] and the
// chunk's entity sums.
constexpr std::size_t entity_head = 5;

PyObject* entity_chunk(PyObject*, PyObject* args) {
    PyObject *xo, *yo, *io;
    if (!PyArg_ParseTuple(args, "OOO", &xo, &yo, &io)) return nullptr;
    Arrays a;
    MatView x;
    VecView y;
    IdView ids;
    if (!a.matrix(xo, x) || !a.vector(yo, y) || !a.ids(io, ids)) return nullptr;
    Vector out;
    if (!unlocked([&] {
            const bool agree = y.size == x.rows && ids.size == x.rows;
            Codes codes(agree ? x.rows : 0);
            EntitySums sums = agree ? EntitySums(x.cols + 1, number_entities(ids, codes.data())) : EntitySums(x.cols + 1);
            if (agree) sums.add_numbered(x, y, codes.data(), 0, x.rows, sums.entities() > 8192);
            bool non_finite = false;
            for (double s : sums.squares()) non_finite = non_finite || !std::isfinite(s);
            non_finite = non_finite && (!all_finite(x) || !all_finite(y));
            out = {static_cast<double>(x.rows), static_cast<double>(y.size), static_cast<double>(ids.size),
                   non_finite ? 1.0 : 0.0, agree ? 0.0 : 1.0};
            const Vector s = sums.pack();
            out.insert(out.end(), s.begin(), s.end());
        }))
        return nullptr;
    return packed(out);
}

VecView entity_sums_view(const VecView& v) {
    return VecView{v.data + static_cast<std::ptrdiff_t>(entity_head) * v.stride, v.size - entity_head, v.stride};
}

PyObject* merge_entities(PyObject*, PyObject* args) {
    PyObject *ao, *bo;
    if (!PyArg_ParseTuple(args, "OO", &ao, &bo)) return nullptr;
    Arrays arrays;
    VecView a, b;
    if (!arrays.vector(ao, a) || !arrays.vector(bo, b)) return nullptr;
    Vector out;
    if (!unlocked([&] {
            EntitySums s = EntitySums::unpack(entity_sums_view(a));
            s.merge(EntitySums::unpack(entity_sums_view(b)));
            out = {a[0] + b[0], a[1] + b[1], a[2] + b[2], std::max(a[3], b[3]), std::max(a[4], b[4])};
            const Vector p = s.pack();
            out.insert(out.end(), p.begin(), p.end());
        }))
        return nullptr;
    return packed(out);
}

// (the ids in entity-number order, as the bits of int64 values in a float64 array; the entities' means,
// 2(k + 1) per entity).
PyObject* entity_lookup(PyObject*, PyObject* args) {
    PyObject* eo;
    if (!PyArg_ParseTuple(args, "O", &eo)) return nullptr;
    Arrays a;
    VecView e;
    if (!a.vector(eo, e)) return nullptr;
    std::vector<double> ids, means;
    if (!unlocked([&] {
            const EntitySums s = EntitySums::unpack(entity_sums_view(e));
            ids.resize(s.entities());
            std::memcpy(ids.data(), s.ids().data(), ids.size() * sizeof(double));
            means = s.means();
        }))
        return nullptr;
    return Py_BuildValue("(NN)", py::new_vector(ids.data(), ids.size()), py::new_vector(means.data(), means.size()));
}

// The rows' entity numbers from the ids in number order; false (ValueError: predict's unknown-entity error) at
// an id the numbering lacks.
bool codes_of(Arrays& a, PyObject* io, PyObject* no, IdView& ids, std::vector<std::uint32_t>& codes) {
    IdView numbered;
    if (!a.ids(io, ids) || !a.ids(no, numbered)) return false;
    codes.resize(ids.size);
    std::int64_t unknown = 0;
    bool found = true;
    if (!unlocked([&] { found = rounds::code_rows(ids, rounds::index_of(numbered), codes.data(), unknown); }))
        return false;
    if (!found) PyErr_SetString(PyExc_ValueError, unknown_entity_message(unknown).c_str());
    return found;
}

// With params (not None), a refinement round: the factor of [x̃ | ỹ − x̃·params] and its gradient.
PyObject* within_chunk(PyObject*, PyObject* args) {
    PyObject *xo, *yo, *io, *no, *mo, *bo = Py_None;
    int with_factor;
    if (!PyArg_ParseTuple(args, "OOOOOp|O", &xo, &yo, &io, &no, &mo, &with_factor, &bo)) return nullptr;
    Arrays a;
    MatView x;
    VecView y, means, beta;
    const VecView* params;
    IdView ids;
    std::vector<std::uint32_t> codes;
    if (!a.matrix(xo, x) || !a.vector(yo, y) || !a.vector(mo, means) || !a.optional_vector(bo, beta, params) ||
        !codes_of(a, io, no, ids, codes))
        return nullptr;
    const Vector m = to_vector(means), b = params ? to_vector(beta) : Vector{};
    rounds::WithinRound r;
    if (!unlocked([&] { r.add(x, y, codes.data(), m.data(), with_factor != 0, params ? b.data() : nullptr); }))
        return nullptr;
    return packed(r.pack());
}

PyObject* panel_residual_chunk(PyObject*, PyObject* args) {
    PyObject *xo, *yo, *io, *no, *mo, *bo;
    int scores;
    if (!PyArg_ParseTuple(args, "OOOOOOp", &xo, &yo, &io, &no, &mo, &bo, &scores)) return nullptr;
    Arrays a;
    MatView x;
    VecView y, means, beta;
    IdView ids;
    std::vector<std::uint32_t> codes;
    if (!a.matrix(xo, x) || !a.vector(yo, y) || !a.vector(mo, means) || !a.vector(bo, beta) ||
        !codes_of(a, io, no, ids, codes))
        return nullptr;
    const Vector m = to_vector(means), b = to_vector(beta);
    rounds::PanelResidualRound r;
    if (!unlocked([&] { r.add(x, y, codes.data(), m.data(), b.data(), true, scores != 0); })) return nullptr;
    return packed(r.pack());
}

// The within residuals ỹ − x̃β of a chunk.
PyObject* panel_residuals_chunk(PyObject*, PyObject* args) {
    PyObject *xo, *yo, *io, *no, *mo, *bo;
    if (!PyArg_ParseTuple(args, "OOOOOO", &xo, &yo, &io, &no, &mo, &bo)) return nullptr;
    Arrays a;
    MatView x;
    VecView y, means, beta;
    IdView ids;
    std::vector<std::uint32_t> codes;
    if (!a.matrix(xo, x) || !a.vector(yo, y) || !a.vector(mo, means) || !a.vector(bo, beta) ||
        !codes_of(a, io, no, ids, codes))
        return nullptr;
    const Vector m = to_vector(means), b = to_vector(beta);
    Vector e(x.rows);
    if (!unlocked([&] {
            rounds::PanelResidualRound r;
            r.add(x, y, codes.data(), m.data(), b.data(), false, false, e.data());
        }))
        return nullptr;
    return py::new_vector(e.data(), e.size());
}

// xβ + α of each row's entity; the unknown-entity error of FE.predict for an id the fit did not see.
PyObject* panel_predict_chunk(PyObject*, PyObject* args) {
    PyObject *xo, *io, *no, *eo, *bo;
    if (!PyArg_ParseTuple(args, "OOOOO", &xo, &io, &no, &eo, &bo)) return nullptr;
    Arrays a;
    MatView x;
    VecView effects, beta;
    IdView ids;
    std::vector<std::uint32_t> codes;
    if (!a.matrix(xo, x) || !a.vector(eo, effects) || !a.vector(bo, beta) || !codes_of(a, io, no, ids, codes))
        return nullptr;
    const Vector b = to_vector(beta);
    Vector out(x.rows);
    if (!unlocked([&] {
            gemv_update(x, b.data(), 1.0, 0.0, out.data());
            for (std::size_t i = 0; i < x.rows; ++i) out[i] += effects[codes[i]];
        }))
        return nullptr;
    return py::new_vector(out.data(), out.size());
}

PyObject* merge_within(PyObject*, PyObject* args) { return merge<rounds::WithinRound>(args); }
PyObject* merge_panel_residual(PyObject*, PyObject* args) { return merge<rounds::PanelResidualRound>(args); }

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

// A solve's outcome for Python: its error raised, None when a route needs the factor round, or (the solution
// kept in a capsule, its params).
PyObject* kept_solution(Result<std::optional<Solution>>& sol) {
    if (!sol) {
        py::raise_error(sol.error());
        return nullptr;
    }
    if (!*sol) Py_RETURN_NONE;
    auto* kept = new (std::nothrow) Solution(std::move(**sol));
    if (!kept) return PyErr_NoMemory();
    PyObject* params = py::new_vector(kept->beta.data(), kept->beta.size());
    PyObject* capsule = params ? PyCapsule_New(kept, solution_name, free_solution) : nullptr;
    if (!capsule) {
        delete kept;
        Py_XDECREF(params);
        return nullptr;
    }
    return Py_BuildValue("(NN)", capsule, params);
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
    PyObject* pair = kept_solution(*sol);
    if (!pair || pair == Py_None) return pair;
    PyObject* out = Py_BuildValue("(OOi)", PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1), gram.shift);
    Py_DECREF(pair);
    return out;
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

// The same step from FE's within refinement round.
PyObject* fe_refine(PyObject*, PyObject* args) {
    PyObject *capsule, *wo;
    if (!PyArg_ParseTuple(args, "OO", &capsule, &wo)) return nullptr;
    auto* sol = static_cast<Solution*>(PyCapsule_GetPointer(capsule, solution_name));
    if (!sol) return nullptr;
    Arrays a;
    VecView w;
    if (!a.vector(wo, w)) return nullptr;
    if (!rounds::refine(*sol, rounds::WithinRound::unpack(w).factor)) {
        PyErr_SetString(PyExc_ValueError, "korvalis._kernels.fe_refine: the round does not fit the solution");
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

// FE's checks on the merged entity round; then whether its route factors the demeaned design.
PyObject* fe_check(PyObject*, PyObject* args) {
    PyObject *model, *eo;
    Py_ssize_t k;
    if (!PyArg_ParseTuple(args, "OnO", &model, &k, &eo)) return nullptr;
    auto* o = estimator<FE>(model, "FE");
    if (!o) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "korvalis._kernels.fe_check: not an FE object");
        return nullptr;
    }
    Arrays a;
    VecView e;
    if (!a.vector(eo, e)) return nullptr;
    py::Hold hold(o->borrow, py::Access::Shared);
    if (!hold.ok()) return nullptr;
    Status status;
    bool factor = false;
    if (!unlocked([&] {
            const EntitySums sums = EntitySums::unpack(entity_sums_view(e));
            const auto rows = static_cast<std::size_t>(e[0]), ks = static_cast<std::size_t>(k);
            // A chunk whose inputs disagree, though the totals match, is reported with the totals.
            const std::size_t rows_y = e[4] != 0 && e[1] == e[0] ? rows + 1 : static_cast<std::size_t>(e[1]);
            status = o->model.check_rounds(rows, ks, rows_y, static_cast<std::size_t>(e[2]), sums, e[3] != 0);
            factor = FE::factor_route(rows, ks, sums.entities());
        }))
        return nullptr;
    if (!status.ok()) {
        py::raise_error(status.error());
        return nullptr;
    }
    return PyBool_FromLong(factor);
}

// (solution, params) from the merged entity and within rounds, or None when a route needs the factor.
PyObject* fe_solve(PyObject*, PyObject* args) {
    PyObject *model, *eo, *wo;
    if (!PyArg_ParseTuple(args, "OOO", &model, &eo, &wo)) return nullptr;
    auto* o = estimator<FE>(model, "FE");
    if (!o) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "korvalis._kernels.fe_solve: not an FE object");
        return nullptr;
    }
    Arrays a;
    VecView e, w;
    if (!a.vector(eo, e) || !a.vector(wo, w)) return nullptr;
    py::Hold hold(o->borrow, py::Access::Shared);
    if (!hold.ok()) return nullptr;
    std::optional<Result<std::optional<Solution>>> sol;
    if (!unlocked([&] {
            sol = o->model.solve_rounds(EntitySums::unpack(entity_sums_view(e)), rounds::WithinRound::unpack(w));
        }))
        return nullptr;
    return kept_solution(*sol);
}

PyObject* fe_commit(PyObject*, PyObject* args) {
    PyObject *model, *eo, *capsule, *wo, *ro;
    if (!PyArg_ParseTuple(args, "OOOOO", &model, &eo, &capsule, &wo, &ro)) return nullptr;
    auto* o = estimator<FE>(model, "FE");
    if (!o) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "korvalis._kernels.fe_commit: not an FE object");
        return nullptr;
    }
    auto* sol = static_cast<Solution*>(PyCapsule_GetPointer(capsule, solution_name));
    if (!sol) return nullptr;
    Arrays a;
    VecView e, w, r;
    if (!a.vector(eo, e) || !a.vector(wo, w) || !a.vector(ro, r)) return nullptr;
    py::Hold hold(o->borrow, py::Access::Exclusive);
    if (!hold.ok()) return nullptr;
    Status done;
    if (!unlocked([&] {
            done = o->model.commit_rounds(EntitySums::unpack(entity_sums_view(e)), *sol, rounds::WithinRound::unpack(w),
                                          rounds::PanelResidualRound::unpack(r));
        }))
        return nullptr;
    return py::finish(std::move(done));
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
    {"entity_chunk", guarded<entity_chunk>, METH_VARARGS, "(x, y, ids): FE's entity round of a chunk."},
    {"merge_entities", guarded<merge_entities>, METH_VARARGS, "(a, b): two entity rounds merged by entity id."},
    {"entity_lookup", guarded<entity_lookup>, METH_VARARGS,
     "(entities): (the ids in number order as int64 bits in a float64 array, the means)."},
    {"within_chunk", guarded<within_chunk>, METH_VARARGS,
     "(x, y, ids, numbered_ids, means, with_factor[, params]): FE's within round of a chunk."},
    {"merge_within", guarded<merge_within>, METH_VARARGS, "(a, b): two within rounds merged."},
    {"panel_residual_chunk", guarded<panel_residual_chunk>, METH_VARARGS,
     "(x, y, ids, numbered_ids, means, params, scores): FE's residual round of a chunk."},
    {"merge_panel_residual", guarded<merge_panel_residual>, METH_VARARGS, "(a, b): two FE residual rounds merged."},
    {"panel_residuals_chunk", guarded<panel_residuals_chunk>, METH_VARARGS,
     "(x, y, ids, numbered_ids, means, params): a chunk's within residuals."},
    {"panel_predict_chunk", guarded<panel_predict_chunk>, METH_VARARGS,
     "(x, ids, numbered_ids, effects, params): a chunk's predictions with its entities' effects."},
    {"fe_check", guarded<fe_check>, METH_VARARGS, "(model, k, entities): FE's checks; whether its route factors."},
    {"fe_solve", guarded<fe_solve>, METH_VARARGS, "(model, entities, within): FE's solve, or None for the factor."},
    {"fe_refine", guarded<fe_refine>, METH_VARARGS, "(solution, within): params corrected by a refinement round."},
    {"fe_commit", guarded<fe_commit>, METH_VARARGS, "(model, entities, solution, within, residual): FE's commit."},
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
