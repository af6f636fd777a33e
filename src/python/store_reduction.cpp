// GraphStore reduction methods: reduce, reduce_incremental and reduction_report.
//
// All three convert their keyword-only arguments first (maximal_fusion, then outputs), check an
// explicit output list against the node count before any work, and then run the pipeline on a
// copy of the store's nodes with a new rewrite engine. The store they are called on never
// changes. reduce_incremental is reduce with the default grouping rule; reduction_report builds
// the reduced store like the others and drops it.
#include <optional>
#include <vector>

#include "optimizer/egraph_engine.h"
#include "optimizer/store_reduce.h"
#include "python/binder.h"
#include "python/converters.h"
#include "python/errors.h"
#include "python/graph_store_methods.h"
#include "python/graph_store_object.h"
#include "python/reduction_report.h"

namespace veltrix::python {
namespace {

constexpr Parameter kReduceParams[] = {{"maximal_fusion", false, true}, {"outputs", false, true}};
constexpr Parameter kOutputsParams[] = {{"outputs", false, true}};

constexpr ParamTable kReduce{"GraphStore.reduce()", kReduceParams};
constexpr ParamTable kReduceIncremental{"GraphStore.reduce_incremental()", kOutputsParams};
constexpr ParamTable kReductionReport{"GraphStore.reduction_report()", kOutputsParams};

struct ReduceRequest {
  bool maximal_fusion = false;
  std::optional<std::vector<NodeId>> outputs;  // absent: the store's marks
};

bool convert_outputs(PyObject* object, ReduceRequest& request) {
  if (object == nullptr || object == Py_None) return true;
  request.outputs.emplace();
  return convert_id_list(object, *request.outputs) || wrap_argument_error("outputs");
}

// The reduced store and report; nothing, with ValueError set, for an output id that names no
// node.
std::optional<ReducedStore> run_reduction(PyObject* self, const ReduceRequest& request) {
  const GraphStore& store = store_of(self);
  if (request.outputs) {
    // Checked against a count taken before the copy: the store only grows, so every id that
    // passes is still valid in the copy.
    const std::uint64_t count = store.node_count();
    for (NodeId id : *request.outputs) {
      if (id >= count) {
        raise_value_error(BadNodeId{id}.message());
        return std::nullopt;
      }
    }
  }
  EGraphEngine engine;
  if (!request.outputs) return reduce_against_marks(store, engine, request.maximal_fusion);
  Result<ReducedStore, BadNodeId> reduced = reduce_against_outputs(store, *request.outputs, engine, request.maximal_fusion);
  if (!reduced.ok()) {
    raise_value_error(reduced.error().message());
    return std::nullopt;
  }
  return std::move(reduced).value();
}

PyObject* store_and_report(ReducedStore&& reduced) {
  OwnedRef report = OwnedRef::steal(report_dict(reduced.second));
  if (!report) return nullptr;
  OwnedRef store = OwnedRef::steal(wrap_store(std::move(reduced.first)));
  if (!store) return nullptr;
  return PyTuple_Pack(2, store.get(), report.get());
}

}  // namespace

PyObject* report_dict(const ReductionReport& report) {
  const std::pair<const char*, std::uint64_t> entries[] = {
      {"input_nodes", report.input_nodes},     {"reachable_nodes", report.reachable_nodes},
      {"canonical_nodes", report.canonical_nodes}, {"stages", report.stages},
      {"reduced_nodes", report.reduced_nodes}, {"boundary_nodes", report.boundary_nodes},
  };
  OwnedRef dict = OwnedRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : entries) {
    OwnedRef number = OwnedRef::steal(PyLong_FromUnsignedLongLong(value));
    if (!number || PyDict_SetItemString(dict.get(), key, number.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* store_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[2];
    if (!bind(kReduce, args, nargs, kwnames, slots)) return nullptr;
    ReduceRequest request;
    if (slots[0] != nullptr && !convert_flag(slots[0], request.maximal_fusion)) {
      wrap_argument_error("maximal_fusion");
      return nullptr;
    }
    if (!convert_outputs(slots[1], request)) return nullptr;
    std::optional<ReducedStore> reduced = run_reduction(self, request);
    if (!reduced) return nullptr;
    return store_and_report(std::move(*reduced));
  });
}

PyObject* store_reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind(kReduceIncremental, args, nargs, kwnames, slots)) return nullptr;
    ReduceRequest request;
    if (!convert_outputs(slots[0], request)) return nullptr;
    std::optional<ReducedStore> reduced = run_reduction(self, request);
    if (!reduced) return nullptr;
    return store_and_report(std::move(*reduced));
  });
}

PyObject* store_reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind(kReductionReport, args, nargs, kwnames, slots)) return nullptr;
    ReduceRequest request;
    if (!convert_outputs(slots[0], request)) return nullptr;
    std::optional<ReducedStore> reduced = run_reduction(self, request);
    if (!reduced) return nullptr;
    return report_dict(reduced->second);
  });
}

}  // namespace veltrix::python
