// The GraphStore class: a Python object that owns one native GraphStore and nothing else.
#pragma once

#include "python/py_ref.h"
#include "store/graph_store.h"

namespace veltrix::python {

struct GraphStoreObject {
  PyObject_HEAD
  GraphStore store;
};

PyTypeObject* graph_store_type();

inline GraphStore& store_of(PyObject* self) { return reinterpret_cast<GraphStoreObject*>(self)->store; }

// A new GraphStore object that takes over `store` (new reference; null with an exception set).
PyObject* wrap_store(GraphStore&& store);

}  // namespace veltrix::python
