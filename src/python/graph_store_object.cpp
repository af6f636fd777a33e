#include "python/graph_store_object.h"

#include "python/graph_store_methods.h"
#include "python/method_def.h"

namespace veltrix::python {
namespace {

constexpr ParamTable kNewTable{"GraphStore.__new__()", {}};

PyMethodDef kMethods[] = {
    method_with_parameters("add_source", store_add_source, "add_source($self, name, params=None)\n--\n\n"),
    method_with_parameters("add_op", store_add_op, "add_op($self, name, inputs, params=None)\n--\n\n"),
    method_with_parameters("add_reduction", store_add_reduction,
                           "add_reduction($self, name, inputs, params=None)\n--\n\n"),
    method_with_parameters("add_external", store_add_external,
                           "add_external($self, descriptor, inputs, params=None)\n--\n\n"),
    method_with_parameters(
        "add_exchange", store_add_exchange,
        "add_exchange($self, inputs, params=None)\n--\n\n"
        "Record an `Exchange` boundary (plan M39 \xc2\xa7"
        "2.1). No `name` \xe2\x80\x94 an Exchange's identity is its\n"
        "`scheme` ParamMap (`params`) + its one logical input; `nodes()[i][\"kind\"] == \"exchange\"`."),
    method_without_parameters("node_count", store_node_count, "node_count($self)\n--\n\n"),
    method_without_parameters("to_dot", store_to_dot, "to_dot($self)\n--\n\n"),
    method_with_parameters(
        "serialize", store_serialize,
        "serialize($self, outputs=None)\n--\n\n"
        "Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / A.3.1:\n"
        "the serializable IR \xe2\x80\x94 not cloudpickle \xe2\x80\x94 is the canonical durable representation). With\n"
        "`outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a\n"
        "property of the compile request); the default keeps the marks-based behavior."),
    method_with_parameters("deserialize", store_deserialize,
                           "deserialize(data)\n--\n\n"
                           "Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so\n"
                           "`serialize` of the result is byte-identical to the input (plan M8 determinism gate).",
                           METH_STATIC),
    method_without_parameters(
        "nodes", store_nodes,
        "nodes($self)\n--\n\n"
        "Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and\n"
        "`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n"
        "(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a\n"
        "`descriptor` dict for external nodes and `n_members` for stage nodes."),
    method_without_parameters("outputs", store_outputs,
                              "outputs($self)\n--\n\n"
                              "The marked output node ids, in mark order (what an IR evaluator returns, in order)."),
    method_with_parameters(
        "reduce", store_reduce,
        "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
        "Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind\n"
        "RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts in\n"
        "to fusing fan-out ops whose consumers all land in one stage (the default single-use rule is\n"
        "pinned by the frozen M4 suite)."),
    method_with_parameters(
        "reduce_incremental", store_reduce_incremental,
        "reduce_incremental($self, *, outputs=None)\n--\n\n"
        "One-shot incremental reduction of the current graph (same result as `reduce`). For genuine\n"
        "step-by-step reduction while building, use `IncrementalReducer`."),
    method_with_parameters("reduction_report", store_reduction_report,
                           "reduction_report($self, *, outputs=None)\n--\n\n"
                           "The reduction report for the current graph, without keeping the reduced store."),
    // For the package (veltrix_core.run.reduce): not part of the class's public surface.
    method_with_parameters("_reduce_mapped", store_reduce_mapped,
                           "_reduce_mapped($self, *, maximal_fusion=False, outputs=None, origins=False)\n--\n\n"
                           "reduce(), and the reduced id of every requested output, in order, repeats kept."),
    method_with_parameters("_read_columns", store_read_columns,
                           "_read_columns($self, *, outputs=None, stages=False)\n--\n\n"
                           "For veltrix_core.columns.read, which callers use instead."),
    method_with_parameters(
        "_record_columns", store_record_columns,
        "_record_columns($self, kinds, names, params, descriptors, offsets, inputs, *, param_rows=None)\n--\n\n"
        "For veltrix_core.columns.record, which callers use instead."),
    kEndOfMethods,
};

constexpr const char kDoc[] =
    "GraphStore()\n--\n\n"
    "Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\n"
    "share across threads under the GIL and free-threaded 3.14t).";

NativeClass<GraphStore> g_class({
    .qualified_name = "builtins.GraphStore",
    .doc = kDoc,
    .construct = new_without_arguments<GraphStore, kNewTable>,
    .methods = kMethods,
});

}  // namespace

PyTypeObject* graph_store_type() { return g_class.type(); }

OwnedRef wrap_store(GraphStore&& store) {
  PyTypeObject* type = graph_store_type();
  if (!type) return {};
  return OwnedRef::steal(new_native_instance<GraphStore>(type, std::move(store)));
}

}  // namespace veltrix::python
