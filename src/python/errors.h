// Failures at the Python boundary.
//
// Inside the module, failures are values (store and blob errors) or internal failures
// (support/internal_failure.h). This file is where they become Python exceptions: value errors
// become ValueError with their message, and an internal failure becomes the panic exception
// after a one-line diagnostic on standard error. Every method, constructor and getter body runs
// inside `guarded`, so no internal failure can escape into the interpreter.
#pragma once

#include "python/py_ref.h"
#include "support/internal_failure.h"

#include <new>
#include <string>

namespace veltrix::python {

// The panic exception type, created on first use (a new reference is not returned: the type
// lives until the process ends). Null with an exception set if it cannot be created.
PyObject* panic_exception_type();

// Writes the diagnostic and raises the panic exception. Always returns null.
PyObject* raise_internal_failure(const InternalFailure& failure);

[[noreturn]] void abort_on_memory_exhaustion();

PyObject* raise_value_error(const std::string& message);
PyObject* raise_type_error(const std::string& message);

// Runs a binding body that returns a new reference (or null with an exception set); an
// internal failure becomes the panic exception.
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (const InternalFailure& failure) {
    return raise_internal_failure(failure);
  } catch (const std::bad_alloc&) {
    abort_on_memory_exhaustion();
  }
}

// The type's qualified name for messages, or "<failed to extract type name>".
std::string type_qualname(PyTypeObject* type);

}  // namespace veltrix::python
