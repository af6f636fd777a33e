// GraphStore recording methods: add_source, add_op, add_reduction, add_external, add_exchange,
// and the two small readers node_count and outputs.
//
// Every argument converts before the store is touched, so a call that fails on its arguments
// leaves the store as it was; interning then either adds the node or returns the existing id.
// The node a call describes is a BorrowedNode: views of its converted arguments, which the
// call's KeepAlive holds alive until the node is interned.
#include "python/binder.h"
#include "python/converters.h"
#include "python/errors.h"
#include "python/graph_store_methods.h"
#include "python/graph_store_object.h"
#include "python/node_converters.h"
#include "python/object_builders.h"

namespace veltrix::python {
namespace {

constexpr Parameter kNameParams[] = {{"name", true, false}, {"params", false, false}};
constexpr Parameter kNameInputsParams[] = {{"name", true, false}, {"inputs", true, false}, {"params", false, false}};
constexpr Parameter kDescriptorParams[] = {
    {"descriptor", true, false}, {"inputs", true, false}, {"params", false, false}};
constexpr Parameter kInputsParams[] = {{"inputs", true, false}, {"params", false, false}};

constexpr ParamTable kAddSource{"GraphStore.add_source()", kNameParams};
constexpr ParamTable kAddOp{"GraphStore.add_op()", kNameInputsParams};
constexpr ParamTable kAddReduction{"GraphStore.add_reduction()", kNameInputsParams};
constexpr ParamTable kAddExternal{"GraphStore.add_external()", kDescriptorParams};
constexpr ParamTable kAddExchange{"GraphStore.add_exchange()", kInputsParams};

bool convert_name(PyObject* object, BorrowedNode& node) {
  return convert_argument(convert_string, object, "name", node.name_text);
}

bool convert_inputs(PyObject* object, BorrowedNode& node) {
  return convert_argument(convert_id_list, object, "inputs", node.inputs);
}

// A node no table can hold is refused before the store is touched.
bool fits_a_table(const BorrowedNode& node) {
  if (node.param_count() <= NodeTable::kMaxParams && node.input_count() <= NodeTable::kMaxInputs) return true;
  raise_value_error(NodeTable::kNodeTooLarge);
  return false;
}

PyObject* intern_node(PyObject* self, const BorrowedNode& node) {
  if (!fits_a_table(node)) return nullptr;
  Result<NodeId, BadNodeId> id = store_of(self).intern(node);
  if (!id.ok()) return raise_value_error(id.error().message());
  return PyLong_FromUnsignedLongLong(id.value());
}

// add_op and add_reduction differ only in the kind they record.
PyObject* add_named_with_inputs(const ParamTable& table, NodeKind kind, PyObject* self, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[3];
    if (!bind(table, args, nargs, kwnames, slots)) return nullptr;
    BorrowedNode node(kind);
    KeepAlive keep;
    if (!convert_name(slots[0], node) || !convert_inputs(slots[1], node) ||
        !convert_params(slots[2], node.params, keep)) {
      return nullptr;
    }
    return intern_node(self, node);
  });
}

}  // namespace

PyObject* store_add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[2];
    if (!bind(kAddSource, args, nargs, kwnames, slots)) return nullptr;
    BorrowedNode node(NodeKind::Source);
    KeepAlive keep;
    if (!convert_name(slots[0], node) || !convert_params(slots[1], node.params, keep)) return nullptr;
    if (!fits_a_table(node)) return nullptr;
    const NodeId id = expect_ok(store_of(self).intern(node), "source has no inputs");
    return PyLong_FromUnsignedLongLong(id);
  });
}

PyObject* store_add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_named_with_inputs(kAddOp, NodeKind::Op, self, args, nargs, kwnames);
}

PyObject* store_add_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_named_with_inputs(kAddReduction, NodeKind::Reduction, self, args, nargs, kwnames);
}

PyObject* store_add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[3];
    if (!bind(kAddExternal, args, nargs, kwnames, slots)) return nullptr;
    BorrowedNode node(NodeKind::External);
    KeepAlive keep;
    // Inputs convert before the descriptor: with both bad, the inputs error is the one raised.
    if (!convert_inputs(slots[1], node) || !convert_descriptor(slots[0], node.descriptor, keep) ||
        !convert_params(slots[2], node.params, keep)) {
      return nullptr;
    }
    return intern_node(self, node);
  });
}

PyObject* store_add_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[2];
    if (!bind(kAddExchange, args, nargs, kwnames, slots)) return nullptr;
    BorrowedNode node(NodeKind::Exchange);
    KeepAlive keep;
    if (!convert_inputs(slots[0], node) || !convert_params(slots[1], node.params, keep)) return nullptr;
    return intern_node(self, node);
  });
}

PyObject* store_node_count(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return PyLong_FromUnsignedLongLong(store_of(self).node_count()); });
}

PyObject* store_outputs(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const std::vector<NodeId> marks = store_of(self).outputs();
    auto id_object = [&](std::size_t i) { return OwnedRef::steal(PyLong_FromUnsignedLongLong(marks[i])); };
    return new_list(marks.size(), id_object).release();
  });
}

}  // namespace veltrix::python
