// The report dict of a reduction, shared by GraphStore.reduce* and IncrementalReducer.finalize.
#pragma once

#include "python/py_ref.h"
#include "store/reduced_graph.h"

namespace veltrix::python {

// A new dict with the six counters as ints, always in this key order: input_nodes,
// reachable_nodes, canonical_nodes, stages, reduced_nodes, boundary_nodes. Null with an exception
// set on failure.
PyObject* report_dict(const ReductionReport& report);

}  // namespace veltrix::python
