// The module's private `_walk_tasks` (task_graph_walk.cpp).
#pragma once

#include "python/py_ref.h"

namespace veltrix::python {

PyObject* walk_tasks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace veltrix::python
