// The module's classes: each is a Python object that holds one native value and nothing else.
//
// NativeClass<Native> owns the type object of such a class: made from its spec on first need and
// kept until the process ends (re-imports of the module reuse it). Every class shares the layout,
// the flags (no subclasses, no instance dict, no weak references, no cyclic collection), the
// deallocation and the making of instances; a class brings its name, docstring, constructor and
// methods or getters.
#pragma once

#include <new>
#include <utility>

#include "python/binder.h"
#include "python/errors.h"
#include "python/process_once.h"

namespace veltrix::python {

template <class Native>
struct NativeObject {
  PyObject_HEAD Native native;
};

// The native value of an instance of the class that holds a Native.
template <class Native>
Native& native_of(PyObject* self) {
  return reinterpret_cast<NativeObject<Native>*>(self)->native;
}

// A new instance of `type` holding Native(arguments...); null with an exception set.
template <class Native, class... Arguments>
PyObject* new_native_instance(PyTypeObject* type, Arguments&&... arguments) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&native_of<Native>(self)) Native(std::forward<Arguments>(arguments)...);
  return self;
}

// `__new__` of a class whose constructor takes no arguments; `table` names it in binding errors.
template <class Native, const ParamTable& table>
PyObject* new_without_arguments(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!bind(table, args, kwargs, nullptr)) return nullptr;
    return new_native_instance<Native>(type);
  });
}

struct ClassDefinition {
  const char* qualified_name;  // "builtins.GraphStore"
  const char* doc;
  newfunc construct;
  PyMethodDef* methods = nullptr;  // null-terminated, or null
  PyGetSetDef* getters = nullptr;  // null-terminated, or null
};

template <class Native>
class NativeClass {
 public:
  explicit NativeClass(const ClassDefinition& definition)
      : spec_{definition.qualified_name, static_cast<int>(sizeof(NativeObject<Native>)), 0,
              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots_} {
    std::size_t n = 0;
    slots_[n++] = {Py_tp_new, reinterpret_cast<void*>(definition.construct)};
    slots_[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(&deallocate)};
    slots_[n++] = {Py_tp_doc, const_cast<char*>(definition.doc)};
    if (definition.methods) slots_[n++] = {Py_tp_methods, definition.methods};
    if (definition.getters) slots_[n++] = {Py_tp_getset, definition.getters};
    slots_[n] = {0, nullptr};
  }
  NativeClass(const NativeClass&) = delete;
  NativeClass& operator=(const NativeClass&) = delete;

  // BORROWED; null with an exception set when the type cannot be created.
  PyTypeObject* type() {
    return reinterpret_cast<PyTypeObject*>(type_.get([this] { return PyType_FromSpec(&spec_); }));
  }

 private:
  static void deallocate(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    native_of<Native>(self).~Native();
    type->tp_free(self);
    Py_DECREF(type);  // a heap type is kept alive by its instances
  }

  PyType_Slot slots_[6];
  PyType_Spec spec_;
  ProcessObject type_;
};

}  // namespace veltrix::python
