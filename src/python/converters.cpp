#include "python/converters.h"

#include <string>

#include "python/errors.h"
#include "python/graph_store_object.h"

namespace veltrix::python {

void set_not_an_instance_error(PyObject* object, const char* target) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
    return;
  }
  const std::string name = type_qualname(Py_TYPE(object));
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", name.c_str(), target);
}

bool convert_string(PyObject* object, std::string_view& out) {
  if (!PyUnicode_Check(object)) {
    set_not_an_instance_error(object, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (!utf8) return false;  // lone surrogates: the interpreter's UnicodeEncodeError
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool convert_flag(PyObject* object, bool& out) {
  if (object == Py_True || object == Py_False) {
    out = object == Py_True;
    return true;
  }
  // NumPy's boolean scalars count as flags; they are read through their truth value.
  PyTypeObject* type = Py_TYPE(object);
  OwnedRef module = OwnedRef::steal(PyType_GetModuleName(type));
  OwnedRef name = OwnedRef::steal(PyType_GetName(type));
  if (module && name && PyUnicode_Check(module.get()) && PyUnicode_EqualToUTF8(module.get(), "numpy") &&
      (PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool"))) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    out = truth == 1;
    return true;
  }
  PyErr_Clear();
  set_not_an_instance_error(object, "bool");
  return false;
}

bool convert_node_id(PyObject* object, NodeId& out) {
  if (PyLong_CheckExact(object)) {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object))) {
      const Py_ssize_t small = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object));
      if (small >= 0) {
        out = static_cast<NodeId>(small);
        return true;
      }
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
  }
  OwnedRef index = OwnedRef::steal(PyNumber_Index(object));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_store(PyObject* object, GraphStore*& out) {
  PyTypeObject* type = graph_store_type();
  if (!type) return false;
  if (Py_TYPE(object) != type) {
    set_not_an_instance_error(object, "GraphStore");
    return false;
  }
  out = &store_of(object);
  return true;
}

bool convert_bytes(PyObject* object, std::string_view& out) {
  if (!PyBytes_Check(object)) {
    set_not_an_instance_error(object, "bytes");
    return false;
  }
  out = std::string_view(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
  return true;
}

bool wrap_argument_error(const char* name) {
  OwnedRef original = OwnedRef::steal(PyErr_GetRaisedException());
  if (!original) return false;
  if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(original.release());
    return false;
  }
  OwnedRef message = OwnedRef::steal(PyObject_Str(original.get()));
  if (!message) return false;
  OwnedRef wrapped_message = OwnedRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
  if (!wrapped_message) return false;
  OwnedRef wrapped = OwnedRef::steal(PyObject_CallOneArg(PyExc_TypeError, wrapped_message.get()));
  if (!wrapped) return false;
  // The original's own cause carries over; SetCause steals the new reference GetCause returns.
  if (PyObject* cause = PyException_GetCause(original.get())) PyException_SetCause(wrapped.get(), cause);
  PyErr_SetRaisedException(wrapped.release());
  return false;
}

}  // namespace veltrix::python
