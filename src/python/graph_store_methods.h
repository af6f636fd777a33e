// The methods of the GraphStore class, one group per file:
//   store_recording.cpp   the add_* methods, node_count, outputs
//   node_views.cpp        nodes
//   store_columns.cpp     _read_columns
//   store_batch_recording.cpp _record_columns
//   store_persistence.cpp to_dot, serialize, deserialize
//   store_reduction.cpp   reduce, reduce_incremental, reduction_report, _reduce_mapped
#pragma once

#include "python/py_ref.h"

namespace veltrix::python {

// Methods with parameters use the fast-call-with-keywords convention (method_def.h).
PyObject* store_add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_add_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_add_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_node_count(PyObject* self, PyObject* unused);
PyObject* store_to_dot(PyObject* self, PyObject* unused);
PyObject* store_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Static: `self` is null.
PyObject* store_deserialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_nodes(PyObject* self, PyObject* unused);
PyObject* store_outputs(PyObject* self, PyObject* unused);
PyObject* store_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_record_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_read_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* store_reduce_mapped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace veltrix::python
