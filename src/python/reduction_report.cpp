#include "python/reduction_report.h"

#include <algorithm>
#include <span>
#include <utility>
#include <vector>

#include "python/graph_store_object.h"
#include "python/interned_names.h"
#include "python/object_builders.h"
#include "support/internal_failure.h"

namespace veltrix::python {

OwnedRef report_dict(const ReductionReport& report) {
  const InternedNames* names = interned_names();
  if (!names) return {};
  const std::uint64_t values[] = {report.input_nodes, report.reachable_nodes, report.canonical_nodes,
                                  report.stages,      report.reduced_nodes,   report.boundary_nodes};
  OwnedRef dict = OwnedRef::steal(PyDict_New());
  if (!dict) return {};
  for (int i = 0; i < 6; ++i) {
    OwnedRef number = OwnedRef::steal(PyLong_FromUnsignedLongLong(values[i]));
    if (!number || PyDict_SetItem(dict.get(), names->report_keys[i].get(), number.get()) < 0) return {};
  }
  return dict;
}

OwnedRef store_and_report(ReducedStore&& reduced) {
  OwnedRef report_object = report_dict(reduced.report);
  if (!report_object) return {};
  OwnedRef store_object = wrap_store(std::move(reduced.store));
  if (!store_object) return {};
  return OwnedRef::steal(PyTuple_Pack(2, store_object.get(), report_object.get()));
}

namespace {

// A bytes object holding `count` int64 values, and where to write them.
OwnedRef new_int64_column(std::size_t count, std::int64_t*& data) {
  OwnedRef bytes = OwnedRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * 8)));
  if (bytes) data = reinterpret_cast<std::int64_t*>(PyBytes_AS_STRING(bytes.get()));
  return bytes;
}

// The input nodes each reduced node stands for, as (offsets, ids): the inputs of reduced node k
// are ids[offsets[k]:offsets[k + 1]], ascending. A counting sort of the traced map.
OwnedRef origin_columns(std::span<const NodeId> reduced_of_input, std::size_t reduced_count) {
  std::int64_t* offsets = nullptr;
  std::int64_t* ids = nullptr;
  std::size_t traced = 0;
  for (NodeId reduced : reduced_of_input) traced += reduced != kNotReduced;
  OwnedRef offsets_object = new_int64_column(reduced_count + 1, offsets);
  OwnedRef ids_object = new_int64_column(traced, ids);
  if (!offsets_object || !ids_object) return {};
  std::fill(offsets, offsets + reduced_count + 1, 0);
  for (NodeId reduced : reduced_of_input) {
    if (reduced == kNotReduced) continue;
    if (reduced >= reduced_count) index_out_of_bounds(reduced_count, reduced);
    ++offsets[reduced + 1];
  }
  for (std::size_t k = 0; k < reduced_count; ++k) offsets[k + 1] += offsets[k];
  std::vector<std::int64_t> next(offsets, offsets + reduced_count);
  for (std::size_t input = 0; input < reduced_of_input.size(); ++input) {
    if (reduced_of_input[input] != kNotReduced) ids[next[reduced_of_input[input]]++] = static_cast<std::int64_t>(input);
  }
  return OwnedRef::steal(PyTuple_Pack(2, offsets_object.get(), ids_object.get()));
}

}  // namespace

OwnedRef store_report_and_output_ids(ReducedStore&& reduced) {
  const std::vector<NodeId>& ids = reduced.output_ids;
  OwnedRef ids_object =
      new_list(ids.size(), [&](std::size_t i) { return OwnedRef::steal(PyLong_FromUnsignedLongLong(ids[i])); });
  if (!ids_object) return {};
  OwnedRef report_object = report_dict(reduced.report);
  if (!report_object) return {};
  OwnedRef origins;
  if (reduced.traced) {
    origins = origin_columns(reduced.reduced_of_input, reduced.store.node_count());
    if (!origins) return {};
  }
  OwnedRef store_object = wrap_store(std::move(reduced.store));
  if (!store_object) return {};
  if (!origins) return OwnedRef::steal(PyTuple_Pack(3, store_object.get(), report_object.get(), ids_object.get()));
  return OwnedRef::steal(PyTuple_Pack(4, store_object.get(), report_object.get(), ids_object.get(), origins.get()));
}

}  // namespace veltrix::python
