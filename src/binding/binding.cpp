// Argument matching, conversions, error mapping and type creation for every class.
// Messages follow CPython's wording for the same situations.
#include "binding/binding.hpp"

#include "linalg/lapack.hpp"

#include <cstring>
#include <deque>
#include <new>
#include <stdexcept>

namespace kv::py {

Hold::Hold(std::int64_t& counter, Access access) : counter_(counter), access_(access) {
    if (access == Access::Exclusive) {
        if (counter != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return;
        }
        counter = -1;
    } else {
        if (counter < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return;
        }
        ++counter;
    }
    ok_ = true;
}

Hold::~Hold() {
    if (!ok_) return;
    if (access_ == Access::Exclusive)
        counter_ = 0;
    else
        --counter_;
}

Signature::Signature(std::string_view parameters, std::size_t optional) {
    const auto colon = parameters.find(':');
    method = std::string(parameters.substr(0, colon));
    if (colon != std::string_view::npos) {
        std::string_view rest = parameters.substr(colon + 1);
        while (!rest.empty()) {
            const auto comma = rest.find(',');
            names.emplace_back(rest.substr(0, comma));
            if (comma == std::string_view::npos) break;
            rest = rest.substr(comma + 1);
        }
    }
    required = names.size() - optional;
    for (const auto& n : names) {
        PyObject* s = PyUnicode_InternFromString(n.c_str());
        if (!s) throw std::bad_alloc();
        interned.push_back(s);  // kept for the life of the process
    }
}

std::string class_name(PyObject* self_or_type) {
    PyTypeObject* tp = PyType_Check(self_or_type) ? reinterpret_cast<PyTypeObject*>(self_or_type)
                                                  : Py_TYPE(self_or_type);
    const char* name = tp->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

namespace {
std::string qualified(PyObject* self_or_type, const Signature& sig) {
    return class_name(self_or_type) + "." + sig.method + "()";
}

const char* verb(std::size_t given) { return given == 1 ? " was given" : " were given"; }

// The index of the parameter a keyword names, or -1.
long find_parameter(const Signature& sig, PyObject* key) {
    for (std::size_t i = 0; i < sig.interned.size(); ++i)
        if (sig.interned[i] == key) return static_cast<long>(i);
    for (std::size_t i = 0; i < sig.interned.size(); ++i) {
        const int eq = PyUnicode_Compare(sig.interned[i], key);
        if (eq == 0) return static_cast<long>(i);
        if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

std::string utf8(PyObject* s) {
    Py_ssize_t len = 0;
    const char* c = PyUnicode_AsUTF8AndSize(s, &len);
    if (!c) {
        PyErr_Clear();
        return "?";
    }
    return std::string(c, static_cast<std::size_t>(len));
}

// The qualified name of obj's type, for a conversion message. Reading __qualname__ runs
// Python code when the type's metaclass provides it. A TypeError from there gives way to the
// type's C-level name, since the caller raises a TypeError for the argument anyway; any other
// exception (KeyboardInterrupt, MemoryError, ...) is left set and false returned, so that it
// propagates unchanged, as an exception other than TypeError from __float__ does.
bool type_qualname(PyObject* obj, std::string& out) {
    PyTypeObject* tp = Py_TYPE(obj);
    Py_INCREF(tp);  // the code run below may drop obj, and its type with it
    PyObject* q = PyObject_GetAttrString(reinterpret_cast<PyObject*>(tp), "__qualname__");
    if (!q) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
            Py_DECREF(tp);
            return false;
        }
        PyErr_Clear();
        out = tp->tp_name;
        Py_DECREF(tp);
        return true;
    }
    out = PyUnicode_Check(q) ? utf8(q) : std::string(tp->tp_name);
    Py_DECREF(q);
    Py_DECREF(tp);
    return true;
}

void type_error(const std::string& msg) { PyErr_SetString(PyExc_TypeError, msg.c_str()); }
}  // namespace

bool match_arguments(PyObject* self_or_type, const Signature& sig, PyObject* const* args, std::size_t nargs,
                     PyObject* kwnames, PyObject** out) {
    const std::size_t n = sig.names.size();
    for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;
    if (nargs > n) {
        std::string msg = qualified(self_or_type, sig) + " takes ";
        if (sig.required == n)
            msg += std::to_string(n);
        else
            msg += "from " + std::to_string(sig.required) + " to " + std::to_string(n);
        msg += " positional arguments but " + std::to_string(nargs) + verb(nargs);
        type_error(msg);
        return false;
    }
    for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const long idx = find_parameter(sig, key);
            if (idx < 0) {
                // Formatted from the key itself, so that any str survives as written.
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                             qualified(self_or_type, sig).c_str(), key);
                return false;
            }
            if (out[idx] != nullptr) {
                type_error(qualified(self_or_type, sig) + " got multiple values for argument '" +
                           sig.names[static_cast<std::size_t>(idx)] + "'");
                return false;
            }
            out[idx] = args[nargs + static_cast<std::size_t>(k)];
        }
    }
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (out[i] == nullptr) missing.push_back("'" + sig.names[i] + "'");
    if (!missing.empty()) {
        std::string msg = qualified(self_or_type, sig) + " missing " + std::to_string(missing.size()) +
                          (missing.size() == 1 ? " required positional argument: " : " required positional arguments: ");
        if (missing.size() == 1) {
            msg += missing[0];
        } else if (missing.size() == 2) {
            msg += missing[0] + " and " + missing[1];
        } else {
            for (std::size_t i = 0; i < missing.size(); ++i) {
                if (i + 1 == missing.size())
                    msg += ", and ";
                else if (i > 0)
                    msg += ", ";
                msg += missing[i];
            }
        }
        type_error(msg);
        return false;
    }
    return true;
}

bool array_type_error(const char* param, PyObject* obj) {
    std::string name;
    if (!type_qualname(obj, name)) return false;
    type_error(std::string("argument '") + param + "': '" + name + "' object cannot be converted to 'PyArray<T, D>'");
    return false;
}

FlatArguments::~FlatArguments() {
    for (PyObject* o : items_) Py_DECREF(o);
    Py_XDECREF(kwnames_);
}

bool FlatArguments::fill(PyObject* self_or_type, const Signature& sig, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    nargs_ = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    // Reserved up front: no allocation can fail between taking a reference and recording it.
    items_.reserve(nargs_ + static_cast<std::size_t>(nkw));
    if (nkw > 0) {
        // Allocated before anything is read out of the dictionary: allocating can run the
        // cyclic collector, and with it finalizers that may change the dictionary.
        kwnames_ = PyTuple_New(nkw);
        if (!kwnames_) return false;
    }
    for (std::size_t i = 0; i < nargs_; ++i) items_.push_back(Py_NewRef(PyTuple_GET_ITEM(args, i)));
    if (nkw > 0) {
        Py_ssize_t pos = 0, i = 0;
        PyObject *key, *value;
        while (i < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                // A dictionary passed through the C API may hold any key; CPython's wording.
                PyErr_Format(PyExc_TypeError, "%s keywords must be strings", qualified(self_or_type, sig).c_str());
                return false;
            }
            PyTuple_SET_ITEM(kwnames_, i++, Py_NewRef(key));
            items_.push_back(Py_NewRef(value));
        }
    }
    return true;
}

bool array_too_large_error(const char* param) {
    PyErr_SetString(PyExc_ValueError, (std::string("argument '") + param + "': " + lapack_limit_message()).c_str());
    return false;
}

namespace {
// Re-raises a pending TypeError as "argument '<param>': <message>", keeping its cause.
// The message is built as a Python string, so any text the first error carries survives.
void wrap_type_error(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* msg = value ? PyUnicode_FromFormat("argument '%s': %S", param, value) : nullptr;
    if (!msg) {
        // str() of the first error failed (its __str__ raised): say so, still naming the argument.
        PyErr_Clear();
        msg = PyUnicode_FromFormat("argument '%s': <exception str() failed>", param);
    }
    PyObject* cause = value ? PyException_GetCause(value) : nullptr;
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    PyObject* fresh = msg ? PyObject_CallOneArg(PyExc_TypeError, msg) : nullptr;
    Py_XDECREF(msg);
    if (!fresh) {
        Py_XDECREF(cause);
        return;
    }
    if (cause) PyException_SetCause(fresh, cause);  // steals cause
    PyErr_SetObject(PyExc_TypeError, fresh);
    Py_DECREF(fresh);
}
}  // namespace

bool convert_bool(PyObject* obj, const char* param, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    const char* tp_name = Py_TYPE(obj)->tp_name;
    // NumPy's boolean scalar: "numpy.bool_" before NumPy 2, "numpy.bool" since.
    if (std::strcmp(tp_name, "numpy.bool_") == 0 || std::strcmp(tp_name, "numpy.bool") == 0) {
        PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
        if (nb == nullptr || nb->nb_bool == nullptr) {
            type_error(std::string("argument '") + param + "': object of type '" + tp_name +
                       "' does not define a '__bool__' conversion");
            return false;
        }
        const int v = nb->nb_bool(obj);
        if (v < 0) {
            wrap_type_error(param);
            return false;
        }
        out = v != 0;
        return true;
    }
    std::string name;
    if (!type_qualname(obj, name)) return false;
    type_error(std::string("argument '") + param + "': '" + name + "' object cannot be converted to 'PyBool'");
    return false;
}

bool convert_double(PyObject* obj, const char* param, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        wrap_type_error(param);
        return false;
    }
    out = v;
    return true;
}

void raise_error(const Error& e) {
    PyObject* type = PyExc_RuntimeError;
    switch (e.kind) {
        case ErrorKind::Value: type = PyExc_ValueError; break;
        case ErrorKind::Runtime: type = PyExc_RuntimeError; break;
    }
    PyErr_SetString(type, e.message.c_str());
}

PyObject* translate_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected native error");
    }
    return nullptr;
}

PyObject* create_type(const ClassDef& def) {
    // The doc slot carries the text signature: "<name><signature>\n--\n\n<doc>".
    static std::deque<std::string> docs;  // stable addresses for the life of the process
    docs.push_back(std::string(def.name) + def.signature + "\n--\n\n" + def.doc);
    std::string type_name = std::string("builtins.") + def.name;
    static std::deque<std::string> names;
    names.push_back(type_name);

    std::vector<PyType_Slot> slots;
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(def.tp_new)});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(def.tp_dealloc)});
    slots.push_back({Py_tp_doc, const_cast<char*>(docs.back().c_str())});
    slots.push_back({Py_tp_methods, def.methods});
    slots.push_back({Py_tp_getset, def.getset});
    if (def.tp_repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(def.tp_repr)});
    slots.push_back({0, nullptr});

    PyType_Spec type_desc{names.back().c_str(), static_cast<int>(def.basicsize), 0, Py_TPFLAGS_DEFAULT, slots.data()};
    return PyType_FromSpec(&type_desc);
}

}  // namespace kv::py
