// The veltrix_core extension module: multi-phase initialisation. The init function only hands
// out the definition; the exec step registers the three classes and version(), in that order,
// appending each name to __all__.
#include "python/errors.h"
#include "python/graph_store_object.h"
#include "python/incremental_reducer_object.h"
#include "python/method_def.h"
#include "python/payload_descriptor_object.h"

namespace veltrix::python {
namespace {

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(VELTRIX_VERSION); }

PyMethodDef kVersionDef = method_without_parameters("version", version, "version()\n--\n\n");

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
  if (register_name(module, "GraphStore", as_object(graph_store_type())) < 0) return -1;
  if (register_name(module, "PayloadDescriptor", as_object(payload_descriptor_type())) < 0) return -1;
  if (register_name(module, "IncrementalReducer", as_object(incremental_reducer_type())) < 0) return -1;
  OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  OwnedRef function = OwnedRef::steal(PyCFunction_NewEx(&kVersionDef, module, module_name.get()));
  return register_name(module, "version", function.get());
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
