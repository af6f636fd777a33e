// GraphStore._read_columns: a store as columns (store/table_columns.h) for the package's
// veltrix_core.columns. The columns come back as bytes objects written in place, which the
// package exposes as typed memoryviews; each shape is one dict, built once however many rows
// share it.
#include <cstdint>
#include <optional>
#include <vector>

#include "python/binder.h"
#include "python/converters.h"
#include "python/errors.h"
#include "python/graph_store_methods.h"
#include "python/graph_store_object.h"
#include "python/view_builder.h"
#include "store/table_columns.h"
#include "support/hash_table.h"

namespace veltrix::python {
namespace {

constexpr Parameter kReadParams[] = {{"outputs", false, true}, {"stages", false, true}};
constexpr ParamTable kRead{"GraphStore._read_columns()", kReadParams};

// A bytes object of `count` items of T, uninitialised, and where to write them.
template <class T>
OwnedRef new_column(std::uint64_t count, T*& data) {
  OwnedRef bytes = OwnedRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(T))));
  if (bytes) data = reinterpret_cast<T*>(PyBytes_AS_STRING(bytes.get()));
  return bytes;
}

OwnedRef int_tuple(const std::vector<std::int64_t>& values) {
  OwnedRef tuple = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  if (!tuple) return {};
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* number = PyLong_FromLongLong(values[i]);
    if (!number) return {};
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), number);
  }
  return tuple;
}

// What running the stages of a store's shapes needs, worked out natively: the distinct members
// (kind, name, params, operand count) once each, and per stage shape the tuples of its members'
// indices, operand refs (k for stage input k, -1 - j for member j) and drops (the members whose
// last reader each is), and the widest stage input its members read as (input count, member
// position).
class StagePlans {
 public:
  StagePlans(const NodeTable& table, ViewBuilder& views) : table_(table), views_(views) {}

  bool ready() {
    members_ = OwnedRef::steal(PyList_New(0));
    return static_cast<bool>(members_);
  }

  // The plan of the stage `id`; null with an exception set for a member token that does not read.
  OwnedRef plan_of(NodeId id) {
    const NodeView node = table_[id];
    const std::size_t count = node.member_count();
    std::vector<std::size_t> last_reader(count, kNone);
    std::int64_t reads_count = 0, reads_position = 0;
    for (std::size_t m = 0; m < count; ++m) {
      for (const MemberRef& ref : node.member_refs(m)) {
        if (ref.kind == MemberRefKind::Member) {
          if (ref.index < count) last_reader[ref.index] = m;
        } else if (static_cast<std::int64_t>(ref.index) >= reads_count) {
          reads_count = static_cast<std::int64_t>(ref.index) + 1;
          reads_position = static_cast<std::int64_t>(m);
        }
      }
    }
    const auto size = static_cast<Py_ssize_t>(count);
    OwnedRef indices = OwnedRef::steal(PyTuple_New(size));
    OwnedRef all_refs = OwnedRef::steal(PyTuple_New(size));
    OwnedRef all_drops = OwnedRef::steal(PyTuple_New(size));
    if (!indices || !all_refs || !all_drops) return {};
    std::vector<std::int64_t> refs, drops;
    for (std::size_t m = 0; m < count; ++m) {
      const std::span<const MemberRef> operands = node.member_refs(m);
      const std::optional<std::size_t> member = member_index(node, m, operands.size());
      if (!member) return {};
      refs.clear();
      for (const MemberRef& ref : operands) {
        const auto index = static_cast<std::int64_t>(ref.index);
        refs.push_back(ref.kind == MemberRefKind::Input ? index : -1 - index);
      }
      drops.clear();
      for (std::size_t j = 0; j < m; ++j) {
        if (last_reader[j] == m) drops.push_back(static_cast<std::int64_t>(j));
      }
      PyObject* index = PyLong_FromSize_t(*member);
      if (!index) return {};
      PyTuple_SET_ITEM(indices.get(), static_cast<Py_ssize_t>(m), index);
      OwnedRef refs_tuple = int_tuple(refs), drops_tuple = int_tuple(drops);
      if (!refs_tuple || !drops_tuple) return {};
      PyTuple_SET_ITEM(all_refs.get(), static_cast<Py_ssize_t>(m), refs_tuple.release());
      PyTuple_SET_ITEM(all_drops.get(), static_cast<Py_ssize_t>(m), drops_tuple.release());
    }
    return OwnedRef::steal(Py_BuildValue("(OOOLL)", indices.get(), all_refs.get(), all_drops.get(),
                                         static_cast<long long>(reads_count), static_cast<long long>(reads_position)));
  }

  // The distinct members met, as (kind, name, params) tuples in order of first use (BORROWED).
  PyObject* members() const { return members_.get(); }

 private:
  // One member per (token, operand count): the same op may take different operand counts.
  std::optional<std::size_t> member_index(const NodeView& node, std::size_t m, std::size_t operands) {
    const std::uint64_t key = std::uint64_t{node.member_token_text_id(m)} << 32 | (operands & 0xFFFFFFFFu);
    auto [index, added] = index_of_member_.find_or_insert_with(key, [] { return kNone; });
    if (*index != kNone) return *index;
    const std::optional<ViewBuilder::MemberObjects> objects = views_.member_objects(node, m);
    if (!objects) return std::nullopt;
    OwnedRef count = OwnedRef::steal(PyLong_FromSize_t(operands));
    if (!count) return std::nullopt;
    OwnedRef member = OwnedRef::steal(PyTuple_Pack(4, objects->kind, objects->name, objects->params, count.get()));
    if (!member || PyList_Append(members_.get(), member.get()) < 0) return std::nullopt;
    *index = static_cast<std::size_t>(PyList_GET_SIZE(members_.get()) - 1);
    return *index;
  }

  static constexpr std::size_t kNone = SIZE_MAX;
  const NodeTable& table_;
  ViewBuilder& views_;
  OwnedRef members_;
  HashMap<std::uint64_t, std::size_t> index_of_member_;
};

}  // namespace

PyObject* store_read_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[2];
    if (!bind(kRead, args, nargs, kwnames, slots)) return nullptr;
    bool with_stages = false;
    if (slots[1] && !convert_argument(convert_flag, slots[1], "stages", with_stages)) return nullptr;
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
    // With the stage plans, a stage's shape says its kind and member count; the plan the rest.
    if (with_stages) views.omit_members();
    OwnedRef shape_table =
        new_list(representatives.size(), [&](std::size_t s) { return views.shape_view(representatives[s]); });
    if (!shape_table) return nullptr;
    if (!with_stages) {
      return PyTuple_Pack(6, ids.get(), kinds.get(), shapes.get(), offsets.get(), inputs.get(), shape_table.get());
    }
    StagePlans stages(table, views);
    if (!stages.ready()) return nullptr;
    OwnedRef plans = new_list(representatives.size(), [&](std::size_t s) {
      const NodeId id = representatives[s];
      return table[id].kind() == NodeKind::Stage ? stages.plan_of(id) : OwnedRef::borrow(Py_None);
    });
    if (!plans) return nullptr;
    return PyTuple_Pack(8, ids.get(), kinds.get(), shapes.get(), offsets.get(), inputs.get(), shape_table.get(),
                        stages.members(), plans.get());
  });
}

}  // namespace veltrix::python
