// A heap type created from its spec on first need and kept until the process ends (re-imports
// of the module reuse it).
#pragma once

#include "python/process_once.h"

namespace veltrix::python {

class LazyType {
 public:
  explicit constexpr LazyType(PyType_Spec* spec) : spec_(spec) {}

  // BORROWED; null with an exception set when the type cannot be created.
  PyTypeObject* get() {
    return reinterpret_cast<PyTypeObject*>(type_.get([this] { return PyType_FromSpec(spec_); }));
  }

 private:
  PyType_Spec* spec_;
  ProcessObject type_;
};

}  // namespace veltrix::python
