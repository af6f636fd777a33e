// The module's private `_lower_rows` and `_shape_arities` (task_lowering.cpp).
#pragma once

#include "python/py_ref.h"

namespace veltrix::python {

PyObject* lower_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* shape_arities(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace veltrix::python
