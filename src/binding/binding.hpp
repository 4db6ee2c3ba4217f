// The binding machinery shared by all estimator classes. A class is described by tables:
// each method row names a C++ member function and its parameter list ("fit:x,y"), each
// attribute row a data member or getter. The templates below generate the CPython entry
// points from those rows: argument matching with CPython-style messages, the shared or
// exclusive hold on the object, argument conversion, the call, result conversion and the
// mapping of failures to exceptions. Every entry point is noexcept: no C++ exception
// reaches the interpreter (std::bad_alloc becomes MemoryError).
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/numpy_bridge.hpp"
#include "linalg/matrix.hpp"
#include "models/error.hpp"

namespace kv::py {

// ---------------------------------------------------------------- object layout and holds

enum class Access { Shared, Exclusive };

template <class Model>
struct Object {
    PyObject_HEAD
    std::int64_t borrow;  // number of shared holders, or -1 while held exclusively
    Model model;
};

// Takes the object shared or exclusively for the duration of a call.
class Hold {
public:
    Hold(std::int64_t& counter, Access access);
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    bool ok() const { return ok_; }

private:
    std::int64_t& counter_;
    Access access_;
    bool ok_ = false;
};

// ---------------------------------------------------------------- fixed strings for table rows

template <std::size_t N>
struct FixedString {
    char text[N]{};
    constexpr FixedString(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

// ---------------------------------------------------------------- argument matching

// Parameter list parsed from "name:p1,p2"; the last `optional` parameters have defaults.
struct Signature {
    std::string method;
    std::vector<std::string> names;
    std::vector<PyObject*> interned;
    std::size_t required = 0;
    Signature(std::string_view parameters, std::size_t optional);
};

// Fills `out` (one slot per parameter, nullptr when absent) or raises TypeError.
bool match_arguments(PyObject* self_or_type, const Signature& sig, PyObject* const* args, std::size_t nargs,
                     PyObject* kwnames, PyObject** out);

std::string class_name(PyObject* self_or_type);
void raise_error(const Error& e);

// ---------------------------------------------------------------- argument conversion

template <class T>
struct Converter;

bool array_type_error(const char* param, PyObject* obj);
// ValueError "argument '<param>': " + LAPACK's size-limit message.
bool array_too_large_error(const char* param);

template <>
struct Converter<MatView> {
    static constexpr bool optional = false;
    ArrayHold hold;
    MatView value;
    bool convert(PyObject* obj, const char* param) {
        VecView unused;
        switch (hold.borrow_f64(obj, 2, value, unused)) {
            case ArrayHold::Outcome::Ok: return true;
            case ArrayHold::Outcome::WrongType: return array_type_error(param, obj);
            case ArrayHold::Outcome::TooLarge: return array_too_large_error(param);
            default: return false;
        }
    }
    MatView get() const { return value; }
};

template <>
struct Converter<VecView> {
    static constexpr bool optional = false;
    ArrayHold hold;
    VecView value;
    bool convert(PyObject* obj, const char* param) {
        MatView unused;
        switch (hold.borrow_f64(obj, 1, unused, value)) {
            case ArrayHold::Outcome::Ok: return true;
            case ArrayHold::Outcome::WrongType: return array_type_error(param, obj);
            case ArrayHold::Outcome::TooLarge: return array_too_large_error(param);
            default: return false;
        }
    }
    VecView get() const { return value; }
};

template <>
struct Converter<IdView> {
    static constexpr bool optional = false;
    ArrayHold hold;
    IdView value;
    bool convert(PyObject* obj, const char* param) {
        switch (hold.borrow_i64(obj, value)) {
            case ArrayHold::Outcome::Ok: return true;
            case ArrayHold::Outcome::WrongType: return array_type_error(param, obj);
            case ArrayHold::Outcome::TooLarge: return array_too_large_error(param);
            default: return false;
        }
    }
    IdView get() const { return value; }
};

bool convert_bool(PyObject* obj, const char* param, bool& out);
bool convert_double(PyObject* obj, const char* param, double& out);

template <>
struct Converter<std::optional<bool>> {
    static constexpr bool optional = true;
    std::optional<bool> value;
    bool convert(PyObject* obj, const char* param) {
        bool b = false;
        if (!convert_bool(obj, param, b)) return false;
        value = b;
        return true;
    }
    std::optional<bool> get() const { return value; }
};

template <>
struct Converter<std::optional<double>> {
    static constexpr bool optional = true;
    std::optional<double> value;
    bool convert(PyObject* obj, const char* param) {
        double d = 0;
        if (!convert_double(obj, param, d)) return false;
        value = d;
        return true;
    }
    std::optional<double> get() const { return value; }
};

// ---------------------------------------------------------------- result conversion

inline PyObject* to_py(bool v) { return PyBool_FromLong(v); }
inline PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_py(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* to_py(const Vector& v) { return new_vector(v.data(), v.size()); }
inline PyObject* to_py(const VectorOut& v) { return new_vector(v); }
inline PyObject* to_py(const Matrix& m) { return new_matrix(m); }
inline PyObject* to_py(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}
template <class T>
PyObject* to_py(const std::optional<T>& v) {
    if (!v) Py_RETURN_NONE;
    return to_py(*v);
}
// A model's reading of a slot it may not have yet (null before a fit).
template <class T>
PyObject* to_py(const T* v) {
    if (!v) Py_RETURN_NONE;
    return to_py(*v);
}

template <class R>
PyObject* finish(R&& r) {
    using T = std::decay_t<R>;
    if constexpr (std::is_same_v<T, Status>) {
        if (!r.ok()) {
            raise_error(r.error());
            return nullptr;
        }
        Py_RETURN_NONE;
    } else if constexpr (requires { r.ok(); r.error(); r.value(); }) {
        if (!r.ok()) {
            raise_error(r.error());
            return nullptr;
        }
        return to_py(r.value());
    } else {
        return to_py(r);
    }
}

// Guards a native entry point: C++ exceptions become Python exceptions.
PyObject* translate_exception() noexcept;

// ---------------------------------------------------------------- member traits

template <class F>
struct member_traits;
template <class M, class R, class... A>
struct member_traits<R (M::*)(A...)> {
    using model = M;
    using args = std::tuple<std::decay_t<A>...>;
    static constexpr std::size_t arity = sizeof...(A);
};
template <class M, class R, class... A>
struct member_traits<R (M::*)(A...) const> : member_traits<R (M::*)(A...)> {};
template <class M, class R, class... A>
struct member_traits<R (M::*)(A...) noexcept> : member_traits<R (M::*)(A...)> {};
template <class M, class R, class... A>
struct member_traits<R (M::*)(A...) const noexcept> : member_traits<R (M::*)(A...)> {};
// A free function taking the model first, e.g. the shared inference templates.
template <class M, class R, class... A>
struct member_traits<R (*)(const M&, A...)> : member_traits<R (M::*)(A...)> {};
template <class M, class R, class... A>
struct member_traits<R (*)(M&, A...)> : member_traits<R (M::*)(A...)> {};

template <class M>
Object<M>* as_object(PyObject* self) {
    return reinterpret_cast<Object<M>*>(self);
}

template <class Tuple>
struct count_optional;
template <class... A>
struct count_optional<std::tuple<A...>> {
    static constexpr std::size_t value = (std::size_t{0} + ... + (Converter<A>::optional ? 1 : 0));
};

template <class Tuple>
struct converters;
template <class... A>
struct converters<std::tuple<A...>> {
    using type = std::tuple<Converter<A>...>;
};

template <class Conv, std::size_t... I>
bool convert_all(Conv& conv, PyObject** raw, const Signature& sig, std::index_sequence<I...>) {
    bool ok = true;
    // Left to right; stop at the first failure.
    ((ok = ok && (raw[I] == nullptr || std::get<I>(conv).convert(raw[I], sig.names[I].c_str()))), ...);
    return ok;
}

// ---------------------------------------------------------------- entry points

// Strong references to a call's matched arguments (and to the object the method runs on),
// held until the call returns. Converting an argument can run Python code (a __bool__, a
// __float__, a metaclass's __qualname__) that drops the caller's own references, for
// example by clearing the keyword dictionary the call was made with through the C API;
// without these the arguments converted after it would be read from freed memory.
template <std::size_t N>
class StrongRefs {
public:
    StrongRefs(const std::array<PyObject*, N>& items, PyObject* extra = nullptr) : items_(items), extra_(extra) {
        for (PyObject* o : items_) Py_XINCREF(o);
        Py_XINCREF(extra_);
    }
    ~StrongRefs() {
        for (PyObject* o : items_) Py_XDECREF(o);
        Py_XDECREF(extra_);
    }
    StrongRefs(const StrongRefs&) = delete;
    StrongRefs& operator=(const StrongRefs&) = delete;

private:
    std::array<PyObject*, N> items_;
    PyObject* extra_;
};

// The constructor's arguments flattened from its (tuple, dict) call into the vectorcall
// form, each held by a strong reference from the moment it is read out of the dictionary.
class FlatArguments {
public:
    FlatArguments() = default;
    ~FlatArguments();
    FlatArguments(const FlatArguments&) = delete;
    FlatArguments& operator=(const FlatArguments&) = delete;
    // False with a Python error set (no memory, or a keyword that is not a str).
    bool fill(PyObject* self_or_type, const Signature& sig, PyObject* args, PyObject* kwargs);
    PyObject* const* data() const { return items_.data(); }
    std::size_t nargs() const { return nargs_; }
    PyObject* kwnames() const { return kwnames_; }

private:
    std::vector<PyObject*> items_;
    std::size_t nargs_ = 0;
    PyObject* kwnames_ = nullptr;
};

// A method with parameters (METH_FASTCALL | METH_KEYWORDS).
template <auto Fn, FixedString Params, Access A = Access::Shared>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    using Traits = member_traits<decltype(Fn)>;
    using Model = typename Traits::model;
    using Args = typename Traits::args;
    constexpr std::size_t N = Traits::arity;
    try {
        static const Signature sig(Params.view(), count_optional<Args>::value);
        std::array<PyObject*, N == 0 ? 1 : N> raw{};
        if (!match_arguments(self, sig, args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames,
                             raw.data()))
            return nullptr;
        // Matching runs no Python code, so the caller's references suffice until here.
        const StrongRefs<N == 0 ? 1 : N> refs(raw, self);
        auto* obj = as_object<Model>(self);
        Hold hold(obj->borrow, A);
        if (!hold.ok()) return nullptr;
        typename converters<Args>::type conv;
        if (!convert_all(conv, raw.data(), sig, std::make_index_sequence<N>{})) return nullptr;
        return std::apply([&](auto&... c) { return finish(std::invoke(Fn, obj->model, c.get()...)); }, conv);
    } catch (...) {
        return translate_exception();
    }
}

// A method without parameters (METH_NOARGS).
template <auto Fn, Access A = Access::Shared>
PyObject* noargs(PyObject* self, PyObject*) noexcept {
    using Model = typename member_traits<decltype(Fn)>::model;
    try {
        auto* obj = as_object<Model>(self);
        Hold hold(obj->borrow, A);
        if (!hold.ok()) return nullptr;
        return finish(std::invoke(Fn, obj->model));
    } catch (...) {
        return translate_exception();
    }
}

// A read-only attribute backed by a data member of the model or by a const member function.
template <class Model, auto Member>
PyObject* getter(PyObject* self, void*) noexcept {
    try {
        auto* obj = as_object<Model>(self);
        Hold hold(obj->borrow, Access::Shared);
        if (!hold.ok()) return nullptr;
        return to_py(std::invoke(Member, std::as_const(obj->model)));
    } catch (...) {
        return translate_exception();
    }
}

template <auto Fn>
PyObject* repr(PyObject* self) noexcept {
    return noargs<Fn>(self, nullptr);
}

// The constructor: the Model is built from the matched options.
template <class Model, FixedString Params, class... Opt>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    try {
        static const Signature sig(Params.view(), sizeof...(Opt));
        constexpr std::size_t N = sizeof...(Opt);
        FlatArguments flat;
        if (!flat.fill(reinterpret_cast<PyObject*>(type), sig, args, kwargs)) return nullptr;
        std::array<PyObject*, N> raw{};
        if (!match_arguments(reinterpret_cast<PyObject*>(type), sig, flat.data(), flat.nargs(), flat.kwnames(),
                             raw.data()))
            return nullptr;
        std::tuple<Converter<Opt>...> conv;
        if (!convert_all(conv, raw.data(), sig, std::make_index_sequence<N>{})) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        auto* obj = as_object<Model>(self);
        obj->borrow = 0;
        try {
            std::apply([&](auto&... c) { new (&obj->model) Model(c.get()...); }, conv);
        } catch (...) {
            // The model was not built: free the raw object without running its destructor.
            PyTypeObject* tp = Py_TYPE(self);
            tp->tp_free(self);
            Py_DECREF(tp);
            throw;
        }
        return self;
    } catch (...) {
        return translate_exception();
    }
}

template <class Model>
void dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    as_object<Model>(self)->model.~Model();
    tp->tp_free(self);
    Py_DECREF(tp);
}

// ---------------------------------------------------------------- class description

struct ClassDef {
    const char* name;           // "OLS"
    const char* signature;      // "(fit_intercept=True, robust=False)"
    const char* doc;            // class docstring, may be empty
    std::size_t basicsize;
    newfunc tp_new;
    destructor tp_dealloc;
    reprfunc tp_repr;           // may be null: default object repr
    PyMethodDef* methods;
    PyGetSetDef* getset;
};

// Builds the heap type named "builtins.<name>" once; later calls return the same object.
PyObject* create_type(const ClassDef& def);

// Table rows.
template <auto Fn, FixedString Params, Access A = Access::Shared>
PyMethodDef method(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<Fn, Params, A>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}
template <auto Fn, Access A = Access::Shared>
PyMethodDef method(const char* name, const char* doc) {
    return {name, &noargs<Fn, A>, METH_NOARGS, doc};
}
template <class Model, auto Member>
PyGetSetDef attribute(const char* name) {
    return {name, &getter<Model, Member>, nullptr, "", nullptr};
}
inline constexpr PyMethodDef end_of_methods{nullptr, nullptr, 0, nullptr};
inline constexpr PyGetSetDef end_of_attributes{nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace kv::py
