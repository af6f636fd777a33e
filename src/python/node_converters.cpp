#include "python/node_converters.h"

#include <bit>
#include <cmath>

#include "python/interned_names.h"
#include "python/payload_descriptor_object.h"
#include "store/param_map.h"
#include "support/internal_failure.h"

namespace veltrix::python {
namespace {

// Exact built-in values convert without running any user code.
bool runs_no_code(PyObject* value) {
  return PyBool_Check(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) || PyUnicode_CheckExact(value);
}

// A failed conversion attempt is discarded only when it failed the ordinary way: an interrupt or
// an exit request raised by a value's own code (__index__, __float__) is passed on unchanged, so
// Ctrl-C is never turned into a type error. Returns true when the failure was discarded.
bool discard_failed_attempt() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

// The last attempt: a string, or the refusal of the value.
bool convert_str_value(PyObject* value, ParamValueRef& out) {
  std::string_view text;
  if (convert_string(value, text)) {
    out = ParamValueRef{ParamTag::Str, 0, text};
    return true;
  }
  if (!discard_failed_attempt()) return false;
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
  if (!discard_failed_attempt()) return false;
  const double real = PyFloat_AsDouble(value);
  if (!(real == -1.0 && PyErr_Occurred())) {
    out = ParamValueRef{ParamTag::Float, std::bit_cast<std::uint64_t>(real), {}};
    return true;
  }
  if (!discard_failed_attempt()) return false;
  return convert_str_value(value, out);
}

// A value's __index__ or __float__ may run arbitrary code, including code that changes the dict
// being read and drops keys whose text has been read already, so from the first value that could
// run code on, every key and value read stays alive until the node is interned. Values of the
// exact built-in types run no code, so the common dict is read without taking references.
class DictEntriesKeeper {
 public:
  explicit DictEntriesKeeper(KeepAlive& keep) : keep_(keep) {}

  void read(PyObject* key, PyObject* value) {
    if (!holding_ && !runs_no_code(value)) {
      for (PyObject* earlier : borrowed_) keep_.hold(earlier);
      holding_ = true;
    }
    if (holding_) {
      keep_.hold(key);
      keep_.hold(value);
    } else {
      borrowed_.push_back(key);
      borrowed_.push_back(value);
    }
  }

 private:
  KeepAlive& keep_;
  SmallVector<PyObject*, 16> borrowed_;  // keys and values read before holding started
#ifdef Py_GIL_DISABLED
  bool holding_ = true;  // another thread may change the dict at any time
#else
  bool holding_ = false;
#endif
};

bool convert_param(PyObject* key, PyObject* value, BorrowedNode::Param& out) {
  return convert_string(key, out.key) && convert_param_value(value, out.value);
}

// The value of `key` in the plain dict (a subclass's __missing__ is never consulted), held in
// `keep`; null, with no exception set, when the key is absent. False with an exception set when
// the lookup fails.
bool held_item(PyObject* dict, PyObject* key, KeepAlive& keep, PyObject*& value) {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(dict, key, &found) < 0) return false;
  OwnedRef item = OwnedRef::steal(found);
  if (item) keep.hold(item.get());
  value = item.get();
  return true;
}

bool convert_descriptor_dict(PyObject* dict, DescriptorRef& out, KeepAlive& keep) {
  const InternedNames* names = interned_names();
  if (!names) return false;
  const OwnedRef* keys = names->descriptor_fields;
  PyObject* value = nullptr;
  if (!held_item(dict, keys[5].get(), keep, value)) return false;
  out.preprocessing_ref.reset();
  if (value && value != Py_None) {
    std::string_view text;
    if (!convert_string(value, text)) return false;
    out.preprocessing_ref = text;
  }
  std::string_view* fields[] = {&out.kind, &out.content_hash, &out.framework, &out.version, &out.io_schema};
  for (int i = 0; i < 5; ++i) {
    if (!held_item(dict, keys[i].get(), keep, value)) return false;
    if (!value) {
      PyErr_Format(PyExc_ValueError, "descriptor missing required field '%U'", keys[i].get());
      return false;
    }
    if (!convert_string(value, *fields[i])) return false;
  }
  return true;
}

}  // namespace

bool convert_params(PyObject* object, SmallVector<BorrowedNode::Param, 8>& out, KeepAlive& keep) {
  out.clear();
  if (!object || object == Py_None) return true;
  if (!PyDict_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "params must be a dict or None");
    return false;
  }
  // On interpreters without the GIL another thread may change the dict at any time: its size is
  // read inside the dict's own critical section, like every entry.
  CriticalSection lock(object);
  const Py_ssize_t size = PyDict_GET_SIZE(object);
  out.reserve(static_cast<std::size_t>(size));
  DictEntriesKeeper keeper(keep);
  Py_ssize_t position = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(object, &position, &key, &value)) {
    // A walk that meets more entries than the dict holds has seen a key twice or a mix of old
    // and new keys: the dict's code changed it while it was read. Node keys must be unique, so
    // this ends like the interpreter's own dict iteration would.
    if (static_cast<Py_ssize_t>(out.size()) >= size) internal_failure("dictionary keys changed during iteration");
    keeper.read(key, value);
    BorrowedNode::Param entry;
    if (!convert_param(key, value, entry)) return false;
    if (PyDict_GET_SIZE(object) != size) internal_failure("dictionary changed size during iteration");
    out.push_back(entry);
  }
  stable_sort_by_key(out.begin(), out.end(), [](const BorrowedNode::Param& p) { return p.key; });
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
  return convert_descriptor_dict(object, out, keep);
}

}  // namespace veltrix::python
