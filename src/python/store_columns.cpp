// GraphStore._read_columns: a store as columns (store/table_columns.h) for the package's
// veltrix_core.columns. The columns come back as bytes objects written in place, which the
// package exposes as typed memoryviews; each shape is one dict, built once however many rows
// share it.
#include <optional>
#include <vector>

#include "python/binder.h"
#include "python/converters.h"
#include "python/errors.h"
#include "python/graph_store_methods.h"
#include "python/graph_store_object.h"
#include "python/view_builder.h"
#include "store/table_columns.h"

namespace veltrix::python {
namespace {

constexpr Parameter kReadParams[] = {{"outputs", false, true}};
constexpr ParamTable kRead{"GraphStore._read_columns()", kReadParams};

// A bytes object of `count` items of T, uninitialised, and where to write them.
template <class T>
OwnedRef new_column(std::uint64_t count, T*& data) {
  OwnedRef bytes = OwnedRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(T))));
  if (bytes) data = reinterpret_cast<T*>(PyBytes_AS_STRING(bytes.get()));
  return bytes;
}

}  // namespace

PyObject* store_read_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind(kRead, args, nargs, kwnames, slots)) return nullptr;
    const GraphStore& store = store_of(self);
    std::optional<std::vector<NodeId>> outputs;
    if (!convert_outputs(slots[0], store, outputs)) return nullptr;
    const InternedNames* keys = interned_names();
    if (!keys) return nullptr;
    const GraphSnapshot snapshot = store.snapshot();
    const NodeTable& table = snapshot.nodes;
    const ColumnPlan plan =
        plan_columns(table, outputs ? std::optional<std::span<const NodeId>>(*outputs) : std::nullopt);
    ColumnBuffers buffers{};
    OwnedRef ids = new_column(plan.rows, buffers.ids);
    OwnedRef kinds = new_column(plan.rows, buffers.kinds);
    OwnedRef shapes = new_column(plan.rows, buffers.shapes);
    OwnedRef offsets = new_column(plan.rows + 1, buffers.offsets);
    OwnedRef inputs = new_column(plan.input_count, buffers.inputs);
    if (!ids || !kinds || !shapes || !offsets || !inputs) return nullptr;
    const std::vector<NodeId> representatives = fill_columns(table, plan, buffers);
    ViewBuilder views(table, snapshot.outputs, *keys);
    views.share_members();
    OwnedRef shape_table =
        new_list(representatives.size(), [&](std::size_t s) { return views.shape_view(representatives[s]); });
    if (!shape_table) return nullptr;
    return PyTuple_Pack(6, ids.get(), kinds.get(), shapes.get(), offsets.get(), inputs.get(), shape_table.get());
  });
}

}  // namespace veltrix::python
