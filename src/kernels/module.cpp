// Entry of korvalis._kernels: single-phase initialisation of a module whose functions are the tables of
// kernels.hpp, concatenated once.
#include <Python.h>

#include <vector>

#include "kernels/kernels.hpp"

namespace {

std::vector<PyMethodDef>& method_table() {
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> all;
        for (auto part : {kv::kernels::chunk_methods(), kv::kernels::accessor_methods()}) all.insert(all.end(), part.begin(), part.end());
        all.push_back({nullptr, nullptr, 0, nullptr});
        return all;
    }();
    return table;
}

PyModuleDef kernels_module = {
    PyModuleDef_HEAD_INIT, "korvalis._kernels", "Private kernels of korvalis's Python submodules.", -1, nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kernels() {
    kernels_module.m_methods = method_table().data();
    return PyModule_Create(&kernels_module);
}
