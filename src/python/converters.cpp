#include "python/converters.h"

#include <algorithm>
#include <string>

#include "python/errors.h"
#include "python/graph_store_object.h"
#include "python/process_once.h"

namespace veltrix::python {
namespace {

ProcessObject g_sequence_abc;

// collections.abc.Sequence, looked up once per process. The import runs import hooks, which may
// record into a store themselves: see process_once.h for why that cannot deadlock.
PyObject* sequence_abc() {
  return g_sequence_abc.get([]() -> PyObject* {
    OwnedRef module = OwnedRef::steal(PyImport_ImportModule("collections.abc"));
    return module ? PyObject_GetAttrString(module.get(), "Sequence") : nullptr;
  });
}

// The interpreter's own sequence check: list and tuple directly, then isinstance.
int is_sequence(PyObject* object) {
  if (PyList_Check(object) || PyTuple_Check(object)) return 1;
  PyObject* abc = sequence_abc();
  if (!abc) return -1;
  return PyObject_IsInstance(object, abc);
}

// A reservation never larger than this from a length the object merely claims: a lying
// __len__ must not be able to request gigabytes before a single item is read.
constexpr Py_ssize_t kMaxClaimedCapacity = 1 << 16;

template <class Container>
bool convert_ids(PyObject* object, Container& out) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  const int sequence = is_sequence(object);
  if (sequence < 0) return false;
  if (sequence == 0) {
    set_not_an_instance_error(object, "Sequence");
    return false;
  }
  out.clear();
  // Exact lists and tuples are read in place, which is what iterating them does; a subclass may
  // define its own __iter__, so it takes the general path below.
  if (PyTuple_CheckExact(object)) {
    const Py_ssize_t n = PyTuple_GET_SIZE(object);
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      NodeId id;
      if (!convert_node_id(PyTuple_GET_ITEM(object, i), id)) return false;
      out.push_back(id);
    }
    return true;
  }
  if (PyList_CheckExact(object)) {
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(object)));
#ifndef Py_GIL_DISABLED
    // The common case, a list of plain ints, converts without running any user code, so the
    // items can be read borrowed. Stop at the first item that could run code. The int objects
    // usually sit far apart in memory: asking for all of them first overlaps their cache misses.
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(object) && k < 8; ++k) __builtin_prefetch(PyList_GET_ITEM(object, k));
    Py_ssize_t i = 0;
    for (; i < PyList_GET_SIZE(object); ++i) {
      PyObject* item = PyList_GET_ITEM(object, i);
      if (!PyLong_CheckExact(item)) break;
      NodeId id;
      if (!convert_node_id(item, id)) return false;
      out.push_back(id);
    }
#else
    Py_ssize_t i = 0;
#endif
    // Index by index against the live size, as the list iterator does: an item's __index__ may
    // change the list, so each item is held while it converts. Without the GIL another thread
    // may shrink the list between the size check and the read; the read then finds no item and
    // the walk ends there, at the live end, as an iterator's would.
    for (; i < PyList_GET_SIZE(object); ++i) {
      OwnedRef item = OwnedRef::steal(PyList_GetItemRef(object, i));
      if (!item) {
        if (!PyErr_ExceptionMatches(PyExc_IndexError)) return false;
        PyErr_Clear();
        break;
      }
      NodeId id;
      if (!convert_node_id(item.get(), id)) return false;
      out.push_back(id);
    }
    return true;
  }
  const Py_ssize_t claimed = PyObject_Size(object);
  if (claimed < 0) {
    PyErr_Clear();  // the length is only a capacity hint
  } else {
    out.reserve(static_cast<std::size_t>(std::min(claimed, kMaxClaimedCapacity)));
  }
  OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
    NodeId id;
    if (!convert_node_id(item.get(), id)) return false;
    out.push_back(id);
  }
  return !PyErr_Occurred();
}

}  // namespace

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

bool convert_id_list(PyObject* object, InputList& out) { return convert_ids(object, out); }
bool convert_id_list(PyObject* object, std::vector<NodeId>& out) { return convert_ids(object, out); }

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
