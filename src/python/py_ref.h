// Reference ownership in the binding layer.
//
//   - A plain `PyObject*` is BORROWED: the code holding it owns nothing and must not decref it.
//   - An `OwnedRef` OWNS one strong reference and drops it when it goes out of scope; it is
//     moved, never copied, and `release()` hands the reference to the caller (typically the
//     interpreter, as a function's return value).
//   - Functions that return a new reference say so in their name or comment, and return
//     OwnedRef where the caller is C++ code.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace veltrix::python {

class OwnedRef {
 public:
  OwnedRef() = default;
  // Takes over a new reference (may be null, e.g. a failed call).
  static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
  // Takes a new reference to a borrowed object.
  static OwnedRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Gives up ownership: the caller now owns the reference.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit OwnedRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace veltrix::python
