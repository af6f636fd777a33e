#include "python/graph_store_object.h"

#include <new>

#include "python/binder.h"
#include "python/errors.h"
#include "python/graph_store_methods.h"
#include "python/lazy_type.h"

namespace veltrix::python {
namespace {

constexpr ParamTable kNewTable{"GraphStore.__new__()", {}};

PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!bind(kNewTable, args, kwargs, nullptr)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&store_of(self)) GraphStore();
    return self;
  });
}

void store_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  store_of(self).~GraphStore();
  type->tp_free(self);
  Py_DECREF(type);
}

PyCFunction fast(FastMethod method) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method)); }

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"add_source", fast(store_add_source), kFast, "add_source($self, name, params=None)\n--\n\n"},
    {"add_op", fast(store_add_op), kFast, "add_op($self, name, inputs, params=None)\n--\n\n"},
    {"add_reduction", fast(store_add_reduction), kFast, "add_reduction($self, name, inputs, params=None)\n--\n\n"},
    {"add_external", fast(store_add_external), kFast, "add_external($self, descriptor, inputs, params=None)\n--\n\n"},
    {"add_exchange", fast(store_add_exchange), kFast,
     "add_exchange($self, inputs, params=None)\n--\n\n"
     "Record an `Exchange` boundary (plan M39 \xc2\xa7" "2.1). No `name` \xe2\x80\x94 an Exchange's identity is its\n"
     "`scheme` ParamMap (`params`) + its one logical input; `nodes()[i][\"kind\"] == \"exchange\"`."},
    {"node_count", store_node_count, METH_NOARGS, "node_count($self)\n--\n\n"},
    {"to_dot", store_to_dot, METH_NOARGS, "to_dot($self)\n--\n\n"},
    {"serialize", fast(store_serialize), kFast,
     "serialize($self, outputs=None)\n--\n\n"
     "Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / A.3.1:\n"
     "the serializable IR \xe2\x80\x94 not cloudpickle \xe2\x80\x94 is the canonical durable representation). With\n"
     "`outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a\n"
     "property of the compile request); the default keeps the marks-based behavior."},
    {"deserialize", fast(store_deserialize), kFast | METH_STATIC,
     "deserialize(data)\n--\n\n"
     "Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so\n"
     "`serialize` of the result is byte-identical to the input (plan M8 determinism gate)."},
    {"nodes", store_nodes, METH_NOARGS,
     "nodes($self)\n--\n\n"
     "Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and\n"
     "`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n"
     "(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a\n"
     "`descriptor` dict for external nodes and `n_members` for stage nodes."},
    {"outputs", store_outputs, METH_NOARGS,
     "outputs($self)\n--\n\n"
     "The marked output node ids, in mark order (what an IR evaluator returns, in order)."},
    {"reduce", fast(store_reduce), kFast,
     "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
     "Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind\n"
     "RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts in\n"
     "to fusing fan-out ops whose consumers all land in one stage (the default single-use rule is\n"
     "pinned by the frozen M4 suite)."},
    {"reduce_incremental", fast(store_reduce_incremental), kFast,
     "reduce_incremental($self, *, outputs=None)\n--\n\n"
     "One-shot incremental reduction of the current graph (same result as `reduce`). For genuine\n"
     "step-by-step reduction while building, use `IncrementalReducer`."},
    {"reduction_report", fast(store_reduction_report), kFast,
     "reduction_report($self, *, outputs=None)\n--\n\n"
     "The reduction report for the current graph, without keeping the reduced store."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kDoc[] =
    "GraphStore()\n--\n\n"
    "Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\n"
    "share across threads under the GIL and free-threaded 3.14t).";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.GraphStore",
    static_cast<int>(sizeof(GraphStoreObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

LazyType g_type(&kSpec);

}  // namespace

PyTypeObject* graph_store_type() { return g_type.get(); }

PyObject* wrap_store(GraphStore&& store) {
  PyTypeObject* type = graph_store_type();
  if (!type) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&store_of(self)) GraphStore(std::move(store));
  return self;
}

}  // namespace veltrix::python
