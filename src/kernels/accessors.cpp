// Private readings of a fitted estimator for the formula layer (korvalis.formula), beyond the six
// classes' documented surface: the covariance behind the standard errors (intercept included, the
// robust one when the fit was robust), inference over every parameter with the class's own
// degrees of freedom and distribution rules, and the report with the caller's names.
//
// An argument must be an instance of one of the classes of the loaded `korvalis` module (found in
// sys.modules, not this module's own copies of the types); it is read under a shared hold, as
// every attribute of the binding is.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding/binding.hpp"
#include "kernels/kernels.hpp"
#include "models/linear/gls.hpp"
#include "models/linear/iv.hpp"
#include "models/linear/ols.hpp"
#include "models/linear/stat_utils.hpp"
#include "models/linear/tsls.hpp"
#include "models/linear/wls.hpp"
#include "models/panel_data/fe.hpp"

namespace kv::kernels {

namespace {

using namespace kv::py;

constexpr const char* class_names[] = {"OLS", "GLS", "WLS", "IV", "TSLS", "FE"};

// Index of obj's class in class_names, or -1 with TypeError set. The layout of the instance must
// be the one this module was compiled with (the same binding sources), which the size confirms.
int class_index(PyObject* obj, const char* function) {
    PyObject* name = PyUnicode_FromString("korvalis");
    if (!name) return -1;
    PyObject* module = PyImport_GetModule(name);
    Py_DECREF(name);
    int found = -1;
    if (module) {
        for (int i = 0; i < 6 && found < 0; ++i) {
            PyObject* type = PyObject_GetAttrString(module, class_names[i]);
            if (!type) {
                PyErr_Clear();
                continue;
            }
            if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) == type) found = i;
            Py_DECREF(type);
        }
        Py_DECREF(module);
    } else if (PyErr_Occurred()) {
        return -1;
    }
    if (found < 0)
        PyErr_Format(PyExc_TypeError, "%s() takes a korvalis estimator (OLS, GLS, WLS, IV, TSLS or FE), not '%s'",
                     function, Py_TYPE(obj)->tp_name);
    return found;
}

template <class M>
bool layout_matches(PyObject* obj) {
    if (Py_TYPE(obj)->tp_basicsize == static_cast<Py_ssize_t>(sizeof(Object<M>))) return true;
    PyErr_SetString(PyExc_TypeError, "korvalis estimator built with a different layout than korvalis._kernels");
    return false;
}

// Calls f(model) for obj's class with the object held shared; nullptr with an error set otherwise.
template <class F>
PyObject* visit(PyObject* obj, const char* function, F&& f) {
    auto run = [&]<class M>(M*) -> PyObject* {
        if (!layout_matches<M>(obj)) return nullptr;
        auto* o = as_object<M>(obj);
        Hold hold(o->borrow, Access::Shared);
        if (!hold.ok()) return nullptr;
        return f(std::as_const(o->model));
    };
    switch (class_index(obj, function)) {
        case 0: return run(static_cast<OLS*>(nullptr));
        case 1: return run(static_cast<GLS*>(nullptr));
        case 2: return run(static_cast<WLS*>(nullptr));
        case 3: return run(static_cast<IV*>(nullptr));
        case 4: return run(static_cast<TSLS*>(nullptr));
        case 5: return run(static_cast<FE*>(nullptr));
        default: return nullptr;
    }
}

bool expect_arguments(const char* function, Py_ssize_t given, Py_ssize_t expected) {
    if (given == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", function, expected, given);
    return false;
}

// Every estimate, intercept first when the model has one, and the standard errors alike.
struct Parameters {
    Vector params;
    Vector std_errors;
};

template <class M>
std::optional<Parameters> parameters_of(const M& m) {
    auto coefs = m.coefficients();
    auto ses = m.standard_errors();
    if (!coefs || !ses) return std::nullopt;
    Parameters out;
    if constexpr (requires { m.intercept_std_error(); }) {
        const auto b0 = m.intercept();
        const auto s0 = m.intercept_std_error();
        if (b0 && s0) {
            out.params.push_back(*b0);
            out.std_errors.push_back(*s0);
        }
    }
    out.params.insert(out.params.end(), coefs->begin(), coefs->end());
    out.std_errors.insert(out.std_errors.end(), ses->begin(), ses->end());
    return out;
}

// covariance(model): the p × p covariance whose diagonal roots are the standard errors, intercept
// row and column first; None before a fit.
PyObject* read_covariance(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    try {
        if (!expect_arguments("covariance", nargs, 1)) return nullptr;
        return visit(args[0], "covariance", [](const auto& m) { return to_py(m.inference_covariance()); });
    } catch (...) {
        return translate_exception();
    }
}

// inference(model, alpha): (params, bse, tvalues, pvalues, conf_int, df) over every parameter,
// intercept first, by the p-value and critical-value rules the class's report applies with its
// residual degrees of freedom; None before a fit.
PyObject* read_inference(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    try {
        if (!expect_arguments("inference", nargs, 2)) return nullptr;
        double alpha = 0.05;
        if (!convert_double(args[1], "alpha", alpha)) return nullptr;
        return visit(args[0], "inference", [alpha](const auto& m) -> PyObject* {
            const auto p = parameters_of(m);
            if (!p) Py_RETURN_NONE;
            const std::uint64_t df = m.df();
            const auto t = stats::t_statistics(p->params, p->std_errors);
            const auto pv = stats::p_values(p->params, p->std_errors, df);
            auto ci = stats::confidence_intervals(p->params, p->std_errors, df, alpha);
            if (!ci) {
                raise_error(ci.error());
                return nullptr;
            }
            return Py_BuildValue("(NNNNNN)", to_py(p->params), to_py(p->std_errors), to_py(t), to_py(pv),
                                 to_py(*ci), to_py(df));
        });
    } catch (...) {
        return translate_exception();
    }
}

// summary(model, target, terms, dropped): the class's report with `target` after "Dep. Variable:",
// one name of `terms` per printed row (the intercept's first), and, unless `dropped` is None, a
// line counting the rows dropped for missing values.
PyObject* named_report(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    try {
        if (!expect_arguments("summary", nargs, 4)) return nullptr;
        stats::ReportNames names;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(args[1], &size);
        if (!text) return nullptr;
        names.target.assign(text, static_cast<std::size_t>(size));
        PyObject* terms = PySequence_Fast(args[2], "summary(): terms must be a sequence of str");
        if (!terms) return nullptr;
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(terms);
        for (Py_ssize_t i = 0; i < count; ++i) {
            const char* term = PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(terms, i), &size);
            if (!term) {
                Py_DECREF(terms);
                return nullptr;
            }
            names.terms.emplace_back(term, static_cast<std::size_t>(size));
        }
        Py_DECREF(terms);
        if (args[3] != Py_None) {
            const unsigned long long dropped = PyLong_AsUnsignedLongLong(args[3]);
            if (dropped == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
            names.dropped = dropped;
        }
        return visit(args[0], "summary", [&names](const auto& m) -> PyObject* {
            if (const auto p = parameters_of(m); p && p->params.size() != names.terms.size()) {
                PyErr_Format(PyExc_ValueError, "summary(): %zu names for %zu parameters", names.terms.size(),
                             p->params.size());
                return nullptr;
            }
            return finish(m.named_summary(&names));
        });
    } catch (...) {
        return translate_exception();
    }
}

const PyMethodDef accessor_table[] = {
    {"covariance", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&read_covariance)), METH_FASTCALL,
     "covariance(model)\n--\n\nThe covariance behind the standard errors, intercept first."},
    {"inference", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&read_inference)), METH_FASTCALL,
     "inference(model, alpha)\n--\n\n(params, bse, tvalues, pvalues, conf_int, df) over every parameter."},
    {"summary", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&named_report)), METH_FASTCALL,
     "summary(model, target, terms, dropped)\n--\n\nThe report with the caller's names."},
};

}  // namespace

std::span<const PyMethodDef> accessor_methods() { return accessor_table; }

}  // namespace kv::kernels
