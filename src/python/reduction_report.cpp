#include "python/reduction_report.h"

#include <utility>

#include "python/graph_store_object.h"

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
  auto& [store, report] = reduced;
  OwnedRef report_object = report_dict(report);
  if (!report_object) return {};
  OwnedRef store_object = wrap_store(std::move(store));
  if (!store_object) return {};
  return OwnedRef::steal(PyTuple_Pack(2, store_object.get(), report_object.get()));
}

}  // namespace veltrix::python
