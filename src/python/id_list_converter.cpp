// The id-list converter (converters.h): sequences of node ids, and the `outputs` argument.
//
// Exact lists and tuples are read in place, which is what iterating them does; anything else that
// passes the interpreter's sequence check is iterated, so a subclass's own __iter__ decides the
// ids. Each item converts through the node-id converter.
#include <algorithm>

#include "python/converters.h"
#include "python/errors.h"
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
bool append_id(PyObject* item, Container& out) {
  NodeId id;
  if (!convert_node_id(item, id)) return false;
  out.push_back(id);
  return true;
}

template <class Container>
bool read_tuple(PyObject* tuple, Container& out) {
  const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!append_id(PyTuple_GET_ITEM(tuple, i), out)) return false;
  }
  return true;
}

// The common case, a list of plain ints, converts without running any user code, so the items
// can be read borrowed. Stops at the first item that could run code; returns how far it read, or
// -1 with an exception set.
template <class Container>
Py_ssize_t read_plain_int_prefix([[maybe_unused]] PyObject* list, [[maybe_unused]] Container& out) {
#ifdef Py_GIL_DISABLED
  return 0;  // another thread may change the list at any time: every item is held
#else
  // The int objects usually sit far apart in memory: asking for all of them first overlaps their
  // cache misses.
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list) && k < 8; ++k) __builtin_prefetch(PyList_GET_ITEM(list, k));
  Py_ssize_t i = 0;
  for (; i < PyList_GET_SIZE(list); ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (!PyLong_CheckExact(item)) break;
    if (!append_id(item, out)) return -1;
  }
  return i;
#endif
}

template <class Container>
bool read_list(PyObject* list, Container& out) {
  out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
  Py_ssize_t i = read_plain_int_prefix(list, out);
  if (i < 0) return false;
  // Index by index against the live size, as the list iterator does: an item's __index__ may
  // change the list, so each item is held while it converts. Without the GIL another thread may
  // shrink the list between the size check and the read; the read then finds no item and the walk
  // ends there, at the live end, as an iterator's would.
  for (; i < PyList_GET_SIZE(list); ++i) {
    OwnedRef item = OwnedRef::steal(PyList_GetItemRef(list, i));
    if (!item) {
      if (!PyErr_ExceptionMatches(PyExc_IndexError)) return false;
      PyErr_Clear();
      break;
    }
    if (!append_id(item.get(), out)) return false;
  }
  return true;
}

template <class Container>
bool read_iterable(PyObject* object, Container& out) {
  const Py_ssize_t claimed = PyObject_Size(object);
  if (claimed < 0) {
    PyErr_Clear();  // the length is only a capacity hint
  } else {
    out.reserve(static_cast<std::size_t>(std::min(claimed, kMaxClaimedCapacity)));
  }
  OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
    if (!append_id(item.get(), out)) return false;
  }
  return !PyErr_Occurred();
}

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
  if (PyTuple_CheckExact(object)) return read_tuple(object, out);
  if (PyList_CheckExact(object)) return read_list(object, out);
  return read_iterable(object, out);
}

}  // namespace

bool convert_id_list(PyObject* object, InputList& out) { return convert_ids(object, out); }
bool convert_id_list(PyObject* object, std::vector<NodeId>& out) { return convert_ids(object, out); }

bool convert_outputs(PyObject* object, const GraphStore& store, std::optional<std::vector<NodeId>>& out) {
  out.reset();
  if (!object || object == Py_None) return true;
  std::vector<NodeId>& ids = out.emplace();
  if (!convert_argument(convert_id_list, object, "outputs", ids)) return false;
  const std::uint64_t count = store.node_count();
  for (NodeId id : ids) {
    if (id >= count) {
      raise_value_error(BadNodeId{id}.message());
      return false;
    }
  }
  return true;
}

}  // namespace veltrix::python
