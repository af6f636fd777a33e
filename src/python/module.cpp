// The veltrix_core extension module: multi-phase initialisation. The init function only hands
// out the definition; the exec step registers the three classes and version(), in that order,
// appending each name to __all__.
#include "optimizer/rewrite_rules.h"
#include "python/errors.h"
#include "python/graph_store_object.h"
#include "python/incremental_reducer_object.h"
#include "python/interned_names.h"
#include "python/method_def.h"
#include "python/object_builders.h"
#include "python/payload_descriptor_object.h"
#include "python/task_graph_walk.h"
#include "python/task_lowering.h"

namespace veltrix::python {
namespace {

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(VELTRIX_VERSION); }

PyMethodDef kVersionDef = method_without_parameters("version", version, "version()\n--\n\n");

// The rewrite rules as plain data, for the package's veltrix_core.rules: (the commutative op
// names, the identity forms as (op name, params) pairs).
PyObject* rewrite_rules(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    OwnedRef commutative = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(kCommutativeOps.size())));
    OwnedRef identities = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(kIdentityRules.size())));
    if (!commutative || !identities) return nullptr;
    for (std::size_t i = 0; i < kCommutativeOps.size(); ++i) {
      OwnedRef name = new_str(kCommutativeOps[i]);
      if (!name) return nullptr;
      PyTuple_SET_ITEM(commutative.get(), static_cast<Py_ssize_t>(i), name.release());
    }
    for (std::size_t i = 0; i < kIdentityRules.size(); ++i) {
      const IdentityRule& rule = kIdentityRules[i];
      OwnedRef form = OwnedRef::steal(
          Py_BuildValue("(s#{s:d,s:s#})", rule.op.data(), static_cast<Py_ssize_t>(rule.op.size()), "scalar",
                        rule.scalar, "side", rule.side.data(), static_cast<Py_ssize_t>(rule.side.size())));
      if (!form) return nullptr;
      PyTuple_SET_ITEM(identities.get(), static_cast<Py_ssize_t>(i), form.release());
    }
    return PyTuple_Pack(2, commutative.get(), identities.get());
  });
}

PyMethodDef kLowerRowsDef = method_with_parameters(
    "_lower_rows", lower_rows,
    "_lower_rows(prefix, ids, shapes, offsets, inputs, by_shape, exceptions, where, outputs)\n--\n\n"
    "For veltrix_core.run's dask lowering, which callers use instead.");

PyMethodDef kShapeAritiesDef = method_with_parameters("_shape_arities", shape_arities,
                                                      "_shape_arities(shapes, offsets, shape_count)\n--\n\n"
                                                      "For veltrix_core.run's plan, which callers use instead.");

PyMethodDef kWalkTasksDef =
    method_with_parameters("_walk_tasks", walk_tasks,
                           "_walk_tasks(outputs, lookup, ranks, block_ranks, block_type)\n--\n\n"
                           "For veltrix_core.dask's recording, which callers use instead.");

PyMethodDef kRewriteRulesDef = method_without_parameters(
    "_rewrite_rules", rewrite_rules, "_rewrite_rules()\n--\n\nFor veltrix_core.rules, which callers use instead.");

// Appends `name` to __all__ (creating the list on first use), then sets the attribute.
// Takes a BORROWED `value`; null means its creation failed and an exception is set.
int register_name(PyObject* module, const char* name, PyObject* value) {
  if (!value) return -1;
  PyObject* all = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0) return -1;
  OwnedRef all_list = OwnedRef::steal(all);
  if (!all_list) {
    all_list = OwnedRef::steal(PyList_New(0));
    if (!all_list || PyModule_AddObjectRef(module, "__all__", all_list.get()) < 0) return -1;
  }
  OwnedRef text = OwnedRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all_list.get(), text.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, name, value);
}

PyObject* as_object(PyTypeObject* type) { return reinterpret_cast<PyObject*>(type); }

int exec_module(PyObject* module) {
  // The classes and cached objects are process-wide and belong to the main interpreter. Isolated
  // subinterpreters already refuse the module by its slot; one made the legacy way does not check
  // the slot, and objects it created would outlive it.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "veltrix_core can only be imported in the main interpreter");
    return -1;
  }
  // The dict keys every call uses are interned here, once, before any thread can call in.
  if (!interned_names()) return -1;
  if (register_name(module, "GraphStore", as_object(graph_store_type())) < 0) return -1;
  if (register_name(module, "PayloadDescriptor", as_object(payload_descriptor_type())) < 0) return -1;
  if (register_name(module, "IncrementalReducer", as_object(incremental_reducer_type())) < 0) return -1;
  OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  OwnedRef function = OwnedRef::steal(PyCFunction_NewEx(&kVersionDef, module, module_name.get()));
  if (register_name(module, "version", function.get()) < 0) return -1;
  // Private: set as an attribute only, never listed in __all__.
  OwnedRef rules = OwnedRef::steal(PyCFunction_NewEx(&kRewriteRulesDef, module, module_name.get()));
  if (!rules || PyModule_AddObjectRef(module, "_rewrite_rules", rules.get()) < 0) return -1;
  OwnedRef lower = OwnedRef::steal(PyCFunction_NewEx(&kLowerRowsDef, module, module_name.get()));
  if (!lower || PyModule_AddObjectRef(module, "_lower_rows", lower.get()) < 0) return -1;
  OwnedRef walk = OwnedRef::steal(PyCFunction_NewEx(&kWalkTasksDef, module, module_name.get()));
  if (!walk || PyModule_AddObjectRef(module, "_walk_tasks", walk.get()) < 0) return -1;
  OwnedRef arities = OwnedRef::steal(PyCFunction_NewEx(&kShapeAritiesDef, module, module_name.get()));
  return arities ? PyModule_AddObjectRef(module, "_shape_arities", arities.get()) : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // The class objects are process-wide, so one interpreter per process may use the module.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "veltrix_core", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace veltrix::python

PyMODINIT_FUNC PyInit_veltrix_core(void) { return PyModuleDef_Init(&veltrix::python::kModule); }
