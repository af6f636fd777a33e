// GraphStore reduction methods: reduce, reduce_incremental and reduction_report, and the package's
// private _reduce_mapped (reduce, plus the reduced id of every requested output).
//
// All three convert their keyword-only arguments first (maximal_fusion, then outputs, whose ids
// are checked against the node count before any work), and then run the pipeline on a copy of
// the store's nodes with a new rewrite engine. The store they are called on never changes.
// reduce_incremental is reduce with the default grouping rule; reduction_report builds the
// reduced store like the others and drops it.
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
constexpr Parameter kReduceMappedParams[] = {
    {"maximal_fusion", false, true}, {"outputs", false, true}, {"origins", false, true}};
constexpr ParamTable kReduceMapped{"GraphStore._reduce_mapped()", kReduceMappedParams};

struct ReduceRequest {
  bool maximal_fusion = false;
  std::optional<std::vector<NodeId>> outputs;  // absent: the store's marks
  bool trace_inputs = false;
};

// The reduced store and report; nothing, with ValueError set, when the reduction refuses an
// output.
std::optional<ReducedStore> run_reduction(const GraphStore& store, const ReduceRequest& request) {
  EGraphEngine engine;
  if (!request.outputs) return reduce_against_marks(store, engine, request.maximal_fusion, request.trace_inputs);
  Result<ReducedStore, BadNodeId> reduced =
      reduce_against_outputs(store, *request.outputs, engine, request.maximal_fusion, request.trace_inputs);
  if (!reduced.ok()) {
    raise_value_error(reduced.error().message());
    return std::nullopt;
  }
  return std::move(reduced).value();
}

// The reduction of `self` that a call asks for with its maximal_fusion and outputs arguments
// (each null when not given).
std::optional<ReducedStore> reduce_as_asked(PyObject* self, PyObject* maximal_fusion, PyObject* outputs,
                                            PyObject* origins = nullptr) {
  const GraphStore& store = store_of(self);
  ReduceRequest request;
  if (maximal_fusion && !convert_argument(convert_flag, maximal_fusion, "maximal_fusion", request.maximal_fusion)) {
    return std::nullopt;
  }
  if (origins && !convert_argument(convert_flag, origins, "origins", request.trace_inputs)) return std::nullopt;
  if (!convert_outputs(outputs, store, request.outputs)) return std::nullopt;
  return run_reduction(store, request);
}

}  // namespace

PyObject* store_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[2];
    if (!bind(kReduce, args, nargs, kwnames, slots)) return nullptr;
    std::optional<ReducedStore> reduced = reduce_as_asked(self, slots[0], slots[1]);
    if (!reduced) return nullptr;
    return store_and_report(std::move(*reduced)).release();
  });
}

PyObject* store_reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind(kReduceIncremental, args, nargs, kwnames, slots)) return nullptr;
    std::optional<ReducedStore> reduced = reduce_as_asked(self, nullptr, slots[0]);
    if (!reduced) return nullptr;
    return store_and_report(std::move(*reduced)).release();
  });
}

PyObject* store_reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind(kReductionReport, args, nargs, kwnames, slots)) return nullptr;
    std::optional<ReducedStore> reduced = reduce_as_asked(self, nullptr, slots[0]);
    if (!reduced) return nullptr;
    return report_dict(reduced->report).release();
  });
}

PyObject* store_reduce_mapped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[3];
    if (!bind(kReduceMapped, args, nargs, kwnames, slots)) return nullptr;
    std::optional<ReducedStore> reduced = reduce_as_asked(self, slots[0], slots[1], slots[2]);
    if (!reduced) return nullptr;
    return store_report_and_output_ids(std::move(*reduced)).release();
  });
}

}  // namespace veltrix::python
