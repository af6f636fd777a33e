#include "python/reduction_report.h"

#include <utility>
#include <vector>

#include "python/graph_store_object.h"
#include "python/object_builders.h"

namespace veltrix::python {

OwnedRef report_dict(const ReductionReport& report) {
  const std::pair<const char*, std::uint64_t> entries[] = {
      {"input_nodes", report.input_nodes},         {"reachable_nodes", report.reachable_nodes},
      {"canonical_nodes", report.canonical_nodes}, {"stages", report.stages},
      {"reduced_nodes", report.reduced_nodes},     {"boundary_nodes", report.boundary_nodes},
  };
  OwnedRef dict = OwnedRef::steal(PyDict_New());
  if (!dict) return {};
  for (const auto& [key, value] : entries) {
    OwnedRef number = OwnedRef::steal(PyLong_FromUnsignedLongLong(value));
    if (!number || PyDict_SetItemString(dict.get(), key, number.get()) < 0) return {};
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

OwnedRef store_report_and_output_ids(ReducedStore&& reduced) {
  const std::vector<NodeId>& ids = reduced.output_ids;
  OwnedRef ids_object =
      new_list(ids.size(), [&](std::size_t i) { return OwnedRef::steal(PyLong_FromUnsignedLongLong(ids[i])); });
  if (!ids_object) return {};
  OwnedRef report_object = report_dict(reduced.report);
  if (!report_object) return {};
  OwnedRef store_object = wrap_store(std::move(reduced.store));
  if (!store_object) return {};
  return OwnedRef::steal(PyTuple_Pack(3, store_object.get(), report_object.get(), ids_object.get()));
}

}  // namespace veltrix::python
