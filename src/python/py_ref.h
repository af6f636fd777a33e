// Reference ownership in the binding layer.
//
//   - A plain `PyObject*` is BORROWED: the code holding it owns nothing and must not decref it.
//   - An `OwnedRef` OWNS one strong reference and drops it when it goes out of scope; it is
//     moved, never copied, and `release()` hands the reference to the caller (typically the
//     interpreter, as a function's return value).
//   - A `KeepAlive` OWNS one strong reference to each object it holds, until the call that
//     made it returns: what a borrowed view of an argument needs while user code may run.
//   - Functions that return a new reference say so in their name or comment, and return
//     OwnedRef where the caller is C++ code.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "support/small_vector.h"

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

// Strong references held for the duration of one call.
class KeepAlive {
 public:
  KeepAlive() = default;
  KeepAlive(const KeepAlive&) = delete;
  KeepAlive& operator=(const KeepAlive&) = delete;
  ~KeepAlive() {
    for (PyObject* object : objects_) Py_DECREF(object);
  }
  void hold(PyObject* borrowed) {
    Py_INCREF(borrowed);
    objects_.push_back(borrowed);
  }

 private:
  // Raw pointers, each one owned, because the inline storage takes trivially copyable values
  // only: a call usually holds a few objects and then allocates nothing.
  SmallVector<PyObject*, 16> objects_;
};

// Holds an object's own lock for a scope on interpreters built without the GIL, where another
// thread may change a dict while it is walked with borrowed entries; with the GIL it is nothing.
// The lock is released however the scope ends, an internal failure's unwinding included. Code
// run inside (a value's __index__) may suspend it, as the interpreter's own dict walks allow.
class CriticalSection {
 public:
  explicit CriticalSection([[maybe_unused]] PyObject* object) {
#ifdef Py_GIL_DISABLED
    PyCriticalSection_Begin(&section_, object);
#endif
  }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  ~CriticalSection() {
#ifdef Py_GIL_DISABLED
    PyCriticalSection_End(&section_);
#endif
  }

 private:
#ifdef Py_GIL_DISABLED
  PyCriticalSection section_;
#endif
};

}  // namespace veltrix::python
