// What a reduction returns to Python, shared by GraphStore.reduce* and IncrementalReducer.finalize:
// the report dict, the (reduced store, report) tuple, and that tuple with the output mapping.
#pragma once

#include "python/py_ref.h"
#include "store/graph_store.h"

namespace veltrix::python {

// The report dict: the six counters as ints, always in this key order: input_nodes,
// reachable_nodes, canonical_nodes, stages, reduced_nodes, boundary_nodes. Null with an exception
// set on failure, like the tuple below.
OwnedRef report_dict(const ReductionReport& report);

// The (GraphStore, report dict) tuple; the new GraphStore takes over the reduced store.
OwnedRef store_and_report(ReducedStore&& reduced);

// The (GraphStore, report dict, list of the reduced id of every requested output) tuple that the
// package's output-mapping reductions return.
OwnedRef store_report_and_output_ids(ReducedStore&& reduced);

}  // namespace veltrix::python
