#include "python/node_converters.h"

#include <bit>
#include <cmath>

#include "python/payload_descriptor_object.h"
#include "store/param_map.h"
#include "support/internal_failure.h"

namespace veltrix::python {
namespace {

// Exact built-in values convert without running any user code.
bool runs_no_code(PyObject* value) {
  return PyBool_Check(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) || PyUnicode_CheckExact(value);
}

// The last attempt: a string, or the refusal of the value.
bool convert_str_value(PyObject* value, ParamValueRef& out) {
  std::string_view text;
  if (convert_string(value, text)) {
    out = ParamValueRef{ParamTag::Str, 0, text};
    return true;
  }
  PyErr_Clear();
  PyErr_SetString(PyExc_TypeError, "param values must be int, float, bool, or str");
  return false;
}

// Tries the value kinds in their fixed order; the first that succeeds wins and the failures of
// earlier attempts are discarded.
bool convert_param_value(PyObject* value, ParamValueRef& out) {
  if (PyBool_Check(value)) {  // bool cannot be subclassed, so this is the exact type
    out = ParamValueRef{ParamTag::Bool, value == Py_True ? 1u : 0u, {}};
    return true;
  }
  // Exact floats and strings cannot convert to an integer (nor strings to a float) and run no
  // user code, so they skip the attempts that could only fail: raising and discarding those
  // errors would cost more than the rest of the call.
  if (PyFloat_CheckExact(value)) {
    out = ParamValueRef{ParamTag::Float, std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(value)), {}};
    return true;
  }
  if (PyUnicode_CheckExact(value)) return convert_str_value(value, out);
  const long long integer = PyLong_AsLongLong(value);
  if (!(integer == -1 && PyErr_Occurred())) {
    out = ParamValueRef{ParamTag::Int, static_cast<std::uint64_t>(integer), {}};
    return true;
  }
  PyErr_Clear();
  const double real = PyFloat_AsDouble(value);
  if (!(real == -1.0 && PyErr_Occurred())) {
    out = ParamValueRef{ParamTag::Float, std::bit_cast<std::uint64_t>(real), {}};
    return true;
  }
  PyErr_Clear();
  return convert_str_value(value, out);
}

// Kept for the life of the process.
PyObject* interned(const char* text) { return PyUnicode_InternFromString(text); }

}  // namespace

bool convert_params(PyObject* object, SmallVector<ParamDraft, 8>& out, KeepAlive& keep) {
  out.clear();
  if (!object || object == Py_None) return true;
  if (!PyDict_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "params must be a dict or None");
    return false;
  }
  const Py_ssize_t size = PyDict_GET_SIZE(object);
  out.reserve(static_cast<std::size_t>(size));
  // A value's __index__ or __float__ may run arbitrary code, including code that changes this
  // dict and drops keys whose text has been read already, so from the first value that could run
  // code on, every key and value read stays alive until the node is interned. Values of the
  // exact built-in types run no code, so the common dict is read without taking references.
  SmallVector<PyObject*, 16> read;  // borrowed keys and values read before holding started
#ifdef Py_GIL_DISABLED
  bool holding = true;  // another thread may change the dict at any time
#else
  bool holding = false;
#endif
  Py_ssize_t position = 0;
  PyObject* key;
  PyObject* value;
  CriticalSection lock(object);
  while (PyDict_Next(object, &position, &key, &value)) {
    if (!holding && !runs_no_code(value)) {
      for (PyObject* earlier : read) keep.hold(earlier);
      holding = true;
    }
    if (holding) {
      keep.hold(key);
      keep.hold(value);
    } else {
      read.push_back(key);
      read.push_back(value);
    }
    ParamDraft entry;
    if (!convert_string(key, entry.key)) return false;
    if (!convert_param_value(value, entry.value)) return false;
    if (PyDict_GET_SIZE(object) != size) internal_failure("dictionary changed size during iteration");
    out.push_back(entry);
  }
  stable_sort_by_key(out.begin(), out.end(), [](const ParamDraft& p) { return p.key; });
  return true;
}

bool convert_descriptor(PyObject* object, DescriptorRef& out, KeepAlive& keep) {
  if (const PayloadDescriptor* native = payload_descriptor_of(object)) {
    keep.hold(object);
    out = DescriptorRef::of(*native);
    return true;
  }
  if (!PyDict_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
    return false;
  }
  static PyObject* const preprocessing_key = interned("preprocessing_ref");
  static const char* const kRequired[] = {"kind", "content_hash", "framework", "version", "io_schema"};
  static PyObject* const required_keys[] = {interned(kRequired[0]), interned(kRequired[1]), interned(kRequired[2]),
                                            interned(kRequired[3]), interned(kRequired[4])};
  if (!preprocessing_key) return false;
  for (PyObject* key : required_keys) {
    if (!key) return false;
  }
  // Plain dict lookups: a subclass's __missing__ is never consulted.
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(object, preprocessing_key, &found) < 0) return false;
  OwnedRef preprocessing = OwnedRef::steal(found);
  out.preprocessing_ref.reset();
  if (preprocessing && preprocessing.get() != Py_None) {
    keep.hold(preprocessing.get());
    std::string_view text;
    if (!convert_string(preprocessing.get(), text)) return false;
    out.preprocessing_ref = text;
  }
  std::string_view* fields[] = {&out.kind, &out.content_hash, &out.framework, &out.version, &out.io_schema};
  for (int i = 0; i < 5; ++i) {
    found = nullptr;
    if (PyDict_GetItemRef(object, required_keys[i], &found) < 0) return false;
    if (!found) {
      PyErr_Format(PyExc_ValueError, "descriptor missing required field '%s'", kRequired[i]);
      return false;
    }
    OwnedRef field = OwnedRef::steal(found);
    keep.hold(field.get());
    if (!convert_string(field.get(), *fields[i])) return false;
  }
  return true;
}

}  // namespace veltrix::python
