#include "python/errors.h"

#include <cstdio>
#include <cstdlib>

#include "python/process_once.h"

namespace veltrix::python {
namespace {

constexpr const char kPanicDoc[] =
    "The exception raised when native code called from Python fails internally (a broken\n"
    "invariant, not bad input).\n\n"
    "It derives from BaseException, like SystemExit, rather than from Exception, so that an\n"
    "ordinary `except Exception:` does not swallow it: it propagates through the stack and, if\n"
    "nothing catches it explicitly, ends the interpreter.";

ProcessObject g_panic_type;

PyObject* raise_with_message(PyObject* type, const std::string& message) {
  // A message is raised whatever bytes it holds: invalid UTF-8 is replaced, never a second failure.
  OwnedRef text =
      OwnedRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

}  // namespace

PyObject* panic_exception_type() {
  return g_panic_type.get(
      [] { return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr); });
}

PyObject* raise_internal_failure(const InternalFailure& failure) {
  const std::source_location& where = failure.where();
  std::fprintf(stderr, "veltrix_core: internal failure at %s:%u (%s): %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), where.function_name(), failure.message().c_str());
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (!type) return nullptr;
  return raise_with_message(type, failure.message());
}

void abort_on_memory_exhaustion() {
  std::fputs("veltrix_core: memory exhausted\n", stderr);
  std::abort();
}

PyObject* raise_value_error(const std::string& message) { return raise_with_message(PyExc_ValueError, message); }

PyObject* raise_type_error(const std::string& message) { return raise_with_message(PyExc_TypeError, message); }

std::string type_qualname(PyTypeObject* type) {
  OwnedRef name = OwnedRef::steal(PyType_GetQualName(type));
  if (name) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) return std::string(utf8, size);
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

}  // namespace veltrix::python
