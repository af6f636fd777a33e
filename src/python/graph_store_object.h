// The GraphStore class: a Python object that owns one native GraphStore and nothing else.
#pragma once

#include "python/native_class.h"
#include "python/py_ref.h"
#include "store/graph_store.h"

namespace veltrix::python {

PyTypeObject* graph_store_type();

inline GraphStore& store_of(PyObject* self) { return native_of<GraphStore>(self); }

// A new GraphStore object that takes over `store` (null with an exception set).
OwnedRef wrap_store(GraphStore&& store);

}  // namespace veltrix::python
