// A heap type created from its spec once per process, on first need, and kept until the
// process ends (re-imports of the module reuse it).
#pragma once

#include "python/py_ref.h"

namespace veltrix::python {

class LazyType {
 public:
  explicit constexpr LazyType(PyType_Spec* spec) : spec_(spec) {}

  // BORROWED; null with an exception set when the type cannot be created.
  PyTypeObject* get() {
    PyMutex_Lock(&mutex_);
    if (!type_) type_ = PyType_FromSpec(spec_);
    PyObject* type = type_;
    PyMutex_Unlock(&mutex_);
    return reinterpret_cast<PyTypeObject*>(type);
  }

 private:
  PyType_Spec* spec_;
  PyObject* type_ = nullptr;
  PyMutex mutex_ = {0};
};

}  // namespace veltrix::python
