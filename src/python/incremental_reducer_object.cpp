#include "python/incremental_reducer_object.h"

#include "python/binder.h"
#include "python/errors.h"
#include "python/lazy_type.h"

namespace veltrix::python {
namespace {

struct IncrementalReducerObject {
  PyObject_HEAD
};

constexpr ParamTable kNewTable{"IncrementalReducer.__new__()", {}};

PyObject* reducer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!bind(kNewTable, args, kwargs, nullptr)) return nullptr;
    return type->tp_alloc(type, 0);
  });
}

void reducer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr const char kDoc[] =
    "IncrementalReducer()\n--\n\n"
    "Genuinely incremental reduction (plan \xc2\xa7" "A.1): feed it a store as the graph is being built; each\n"
    "`step` canonicalizes ONLY the nodes recorded since the last step (identity elimination,\n"
    "commutativity dedup, hash-consing \xe2\x80\x94 the same sound rules the EGraphEngine runs), so a concise\n"
    "canonical form is maintained while building and `finalize` does one linear pass instead of a\n"
    "whole-history optimization. `total_work()` counts nodes processed across all steps \xe2\x80\x94 it equals\n"
    "the node count of the store, no matter how many steps fed it (the incrementality witness).";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reducer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reducer_dealloc)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.IncrementalReducer",
    static_cast<int>(sizeof(IncrementalReducerObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

LazyType g_type(&kSpec);

}  // namespace

PyTypeObject* incremental_reducer_type() { return g_type.get(); }

}  // namespace veltrix::python
