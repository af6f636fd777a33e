// Rows of a class's method table. A method with parameters takes the fast-call convention with
// keywords and binds through its parameter table; a method without parameters takes none, so
// the interpreter itself refuses extra arguments.
#pragma once

#include "python/py_ref.h"

namespace veltrix::python {

using MethodWithParameters = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
using MethodWithoutParameters = PyObject* (*)(PyObject* self, PyObject* unused);

// `extra_flags`: METH_STATIC for a static method (whose `self` is then null).
inline PyMethodDef method_with_parameters(const char* name, MethodWithParameters method, const char* doc,
                                          int extra_flags = 0) {
  // The table stores every method under one function pointer type; the flags tell the
  // interpreter which signature to call it with.
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method)),
          METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

inline PyMethodDef method_without_parameters(const char* name, MethodWithoutParameters method, const char* doc) {
  return {name, method, METH_NOARGS, doc};
}

inline constexpr PyMethodDef kEndOfMethods = {nullptr, nullptr, 0, nullptr};

}  // namespace veltrix::python
