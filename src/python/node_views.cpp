// GraphStore.nodes(): one dict per node, built from a snapshot after the store's lock is
// released (view_builder.h).
#include "python/graph_store_methods.h"
#include "python/graph_store_object.h"
#include "python/view_builder.h"

namespace veltrix::python {

PyObject* store_nodes(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const InternedNames* keys = interned_names();
    if (!keys) return nullptr;
    const GraphSnapshot snapshot = store_of(self).snapshot();
    return ViewBuilder(snapshot.nodes, snapshot.outputs, *keys).build().release();
  });
}

}  // namespace veltrix::python
