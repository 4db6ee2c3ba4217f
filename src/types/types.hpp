// One function per class: creates its heap type on first call and returns a borrowed reference.
#pragma once

#include <Python.h>

namespace kv::py {
PyObject* ols_type();
PyObject* gls_type();
PyObject* wls_type();
PyObject* iv_type();
PyObject* tsls_type();
PyObject* fe_type();
}  // namespace kv::py
