// Module entry: single-phase initialisation of "korvalis". The six classes are created
// once per process and added in a fixed order; later imports in the same interpreter get
// the same module object, and a second interpreter is refused.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "types/types.hpp"

namespace {

PyModuleDef korvalis_module = {
    PyModuleDef_HEAD_INIT, "korvalis", "Python module definition", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> interpreter_id{-1};
PyObject* module_cache = nullptr;

int add_class(PyObject* module, const char* name, PyObject* type) {
    if (!type) return -1;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return -1;
        }
    }
    PyObject* text = PyUnicode_FromString(name);
    const int appended = text ? PyList_Append(all, text) : -1;
    Py_XDECREF(text);
    Py_DECREF(all);
    if (appended < 0) return -1;
    return PyObject_SetAttrString(module, name, type);
}

int module_body(PyObject* module) {
    using namespace kv::py;
    struct Entry {
        const char* name;
        PyObject* (*type)();
    };
    const Entry classes[] = {{"OLS", ols_type}, {"GLS", gls_type},   {"WLS", wls_type},
                             {"IV", iv_type},   {"TSLS", tsls_type}, {"FE", fe_type}};
    for (const Entry& c : classes)
        if (add_class(module, c.name, c.type()) < 0) return -1;
    return 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_korvalis() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1 && PyErr_Occurred()) return nullptr;
    std::int64_t expected = -1;
    if (!interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "korvalis does not support sub-interpreters: it is already loaded in another interpreter");
        return nullptr;
    }
    if (module_cache) {
        Py_INCREF(module_cache);
        return module_cache;
    }
    PyObject* module = PyModule_Create(&korvalis_module);
    if (!module) return nullptr;
    if (module_body(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    module_cache = module;
    Py_INCREF(module_cache);
    return module;
}
