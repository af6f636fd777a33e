// Two private helpers of veltrix_core.run's plan and dask lowering, over a store's columns.
//
// _shape_arities: the number of inputs of each shape's first row, and the rows whose number of
// inputs differs from their shape's first row's (the plan makes one implementation per shape and
// number of inputs, so these rows need one of their own).
//
// _lower_rows: row k becomes the task `(implementation, where[k] or ids[k], key of input 0, ...)`
// under the key of node ids[k], the implementation being exceptions[k] where given, else
// by_shape[shapes[k]]; a key is `prefix` followed by the node id in decimal. Written in one native
// loop, a graph of a hundred thousand tasks costs a few milliseconds where building the same
// tuples and dict in Python costs tens. Every task holds new references to the caller's objects;
// nothing else of the plan is kept.
#include <charconv>
#include <cstring>
#include <string>
#include <vector>

#include "python/binder.h"
#include "python/errors.h"
#include "python/object_builders.h"
#include "python/task_lowering.h"

namespace veltrix::python {
namespace {

constexpr Parameter kParams[] = {{"prefix", true, false},     {"ids", true, false},    {"shapes", true, false},
                                 {"offsets", true, false},    {"inputs", true, false}, {"by_shape", true, false},
                                 {"exceptions", true, false}, {"where", true, false},  {"outputs", true, false}};
constexpr ParamTable kTable{"_lower_rows()", kParams};
constexpr Parameter kArityParams[] = {{"shapes", true, false}, {"offsets", true, false}, {"shape_count", true, false}};
constexpr ParamTable kArityTable{"_shape_arities()", kArityParams};

// A read-only column of fixed-width integers (int64 'q'/'l', or uint32 'I' for shapes), held for
// the call.
template <class T>
class Column {
 public:
  ~Column() {
    if (view_.obj) PyBuffer_Release(&view_);
  }
  bool read(PyObject* object, const char* name) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return false;
    const std::string_view format = view_.format ? view_.format : "";
    const bool fits = sizeof(T) == 8 ? (format == "q" || format == "l") : format == "I";
    if (view_.itemsize != static_cast<Py_ssize_t>(sizeof(T)) || !fits) {
      raise_type_error(std::string(name) + (sizeof(T) == 8 ? " must be an int64 column" : " must be a uint32 column"));
      return false;
    }
    data_ = static_cast<const T*>(view_.buf);
    size_ = static_cast<std::size_t>(view_.len) / sizeof(T);
    return true;
  }
  std::size_t size() const { return size_; }
  T operator[](std::size_t i) const { return data_[i]; }

 private:
  Py_buffer view_{};
  const T* data_ = nullptr;
  std::size_t size_ = 0;
};

using Int64Column = Column<std::int64_t>;
using ShapeColumn = Column<std::uint32_t>;

bool is_list_of(PyObject* object, std::size_t size, const char* name) {
  if (PyList_CheckExact(object) && static_cast<std::size_t>(PyList_GET_SIZE(object)) == size) return true;
  raise_type_error(std::string(name) + " must be a list of one item per " + (size ? "row or shape" : "row"));
  return false;
}

bool check_offsets(const Int64Column& offsets, std::size_t rows, std::size_t inputs) {
  if (offsets.size() != rows + 1) return raise_value_error("offsets must hold one more item than ids"), false;
  for (std::size_t row = 0; row < rows; ++row) {
    if (offsets[row] < 0 || offsets[row + 1] < offsets[row] || static_cast<std::size_t>(offsets[row + 1]) > inputs) {
      return raise_value_error("offsets must not decrease and must stay within inputs"), false;
    }
  }
  return true;
}

}  // namespace

PyObject* shape_arities(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[3];
    if (!bind(kArityTable, args, nargs, kwnames, slots)) return nullptr;
    ShapeColumn shapes;
    Int64Column offsets;
    if (!shapes.read(slots[0], "shapes") || !offsets.read(slots[1], "offsets")) return nullptr;
    const Py_ssize_t shape_count = PyLong_AsSsize_t(slots[2]);
    if (shape_count < 0) return PyErr_Occurred() ? nullptr : raise_value_error("shape_count must not be negative");
    if (offsets.size() != shapes.size() + 1) return raise_value_error("offsets must hold one more item than shapes");
    std::vector<std::int64_t> arity(static_cast<std::size_t>(shape_count), -1);
    OwnedRef odd_rows = OwnedRef::steal(PyList_New(0));
    if (!odd_rows) return nullptr;
    for (std::size_t row = 0; row < shapes.size(); ++row) {
      const std::uint32_t shape = shapes[row];
      if (shape >= arity.size()) return raise_value_error("a row names a shape beyond shape_count");
      const std::int64_t count = offsets[row + 1] - offsets[row];
      if (arity[shape] < 0) {
        arity[shape] = count;
      } else if (arity[shape] != count) {
        OwnedRef number = OwnedRef::steal(PyLong_FromSize_t(row));
        if (!number || PyList_Append(odd_rows.get(), number.get()) < 0) return nullptr;
      }
    }
    OwnedRef arities =
        new_list(arity.size(), [&](std::size_t s) { return OwnedRef::steal(PyLong_FromLongLong(arity[s])); });
    if (!arities) return nullptr;
    return PyTuple_Pack(2, arities.get(), odd_rows.get());
  });
}

PyObject* lower_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[9];
    if (!bind(kTable, args, nargs, kwnames, slots)) return nullptr;
    if (!PyUnicode_Check(slots[0])) return raise_type_error("prefix must be a str");
    Py_ssize_t prefix_size = 0;
    const char* prefix_text = PyUnicode_AsUTF8AndSize(slots[0], &prefix_size);
    if (!prefix_text) return nullptr;
    const std::string_view prefix(prefix_text, static_cast<std::size_t>(prefix_size));
    // An ASCII prefix (the package's always is) makes every key ASCII, built without decoding.
    const bool ascii = PyUnicode_IS_ASCII(slots[0]);
    Int64Column ids, offsets, inputs, outputs;
    ShapeColumn shapes;
    if (!ids.read(slots[1], "ids") || !shapes.read(slots[2], "shapes") || !offsets.read(slots[3], "offsets") ||
        !inputs.read(slots[4], "inputs") || !outputs.read(slots[8], "outputs")) {
      return nullptr;
    }
    const std::size_t rows = ids.size();
    PyObject* by_shape = slots[5];
    PyObject* exceptions = slots[6];
    PyObject* where = slots[7];
    if (shapes.size() != rows || !PyList_CheckExact(by_shape) || !PyDict_CheckExact(exceptions) ||
        (where != Py_None && !is_list_of(where, rows, "where")) || !check_offsets(offsets, rows, inputs.size())) {
      if (!PyErr_Occurred()) raise_type_error("shapes, by_shape (a list) or exceptions (a dict) do not fit the rows");
      return nullptr;
    }
    const auto shape_count = static_cast<std::size_t>(PyList_GET_SIZE(by_shape));
    // One key per node id up to the highest row (rows are in id order), made when first needed.
    const std::size_t key_count = rows ? static_cast<std::size_t>(ids[rows - 1]) + 1 : 0;
    std::vector<OwnedRef> keys(key_count);
    std::vector<OwnedRef> id_objects(where == Py_None ? rows : 0);
    std::string text(prefix);
    auto key_of = [&](std::int64_t id) -> PyObject* {
      if (id < 0 || static_cast<std::uint64_t>(id) >= key_count) {
        raise_value_error("a row names a node beyond the plan: " + std::to_string(id));
        return nullptr;
      }
      OwnedRef& key = keys[static_cast<std::size_t>(id)];
      if (!key) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, id).ptr;
        text.resize(prefix.size());
        text.append(digits, end);
        if (ascii) {
          key = OwnedRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
          if (key) std::memcpy(PyUnicode_DATA(key.get()), text.data(), text.size());
        } else {
          key = new_str(text);
        }
      }
      return key.get();
    };
    OwnedRef graph = OwnedRef::steal(PyDict_New());
    if (!graph) return nullptr;
    const bool any_exceptions = PyDict_GET_SIZE(exceptions) != 0;
    for (std::size_t row = 0; row < rows; ++row) {
      PyObject* implementation = nullptr;
      if (any_exceptions) {
        OwnedRef number = OwnedRef::steal(PyLong_FromSize_t(row));
        if (!number || PyDict_GetItemRef(exceptions, number.get(), &implementation) < 0) return nullptr;
      }
      OwnedRef held = OwnedRef::steal(implementation);
      if (!held) {
        if (shapes[row] >= shape_count) return raise_value_error("a row names a shape beyond by_shape");
        held = OwnedRef::borrow(PyList_GET_ITEM(by_shape, static_cast<Py_ssize_t>(shapes[row])));
      }
      const std::int64_t first = offsets[row], end = offsets[row + 1];
      OwnedRef task = OwnedRef::steal(PyTuple_New(2 + (end - first)));
      if (!task) return nullptr;
      PyObject* at = nullptr;
      if (where == Py_None) {
        id_objects[row] = OwnedRef::steal(PyLong_FromLongLong(ids[row]));
        at = id_objects[row].get();
        if (!at) return nullptr;
      } else {
        at = PyList_GET_ITEM(where, static_cast<Py_ssize_t>(row));
      }
      PyTuple_SET_ITEM(task.get(), 0, held.release());
      PyTuple_SET_ITEM(task.get(), 1, Py_NewRef(at));
      for (std::int64_t i = first; i < end; ++i) {
        PyObject* key = key_of(inputs[static_cast<std::size_t>(i)]);
        if (!key) return nullptr;
        PyTuple_SET_ITEM(task.get(), 2 + (i - first), Py_NewRef(key));
      }
      PyObject* key = key_of(ids[row]);
      if (!key || PyDict_SetItem(graph.get(), key, task.get()) < 0) return nullptr;
    }
    OwnedRef output_keys = new_list(outputs.size(), [&](std::size_t i) {
      PyObject* key = key_of(outputs[i]);
      return key ? OwnedRef::borrow(key) : OwnedRef();
    });
    if (!output_keys) return nullptr;
    return PyTuple_Pack(2, graph.get(), output_keys.get());
  });
}

}  // namespace veltrix::python
