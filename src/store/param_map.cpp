#include "store/param_map.h"

namespace veltrix {

ParamMap ParamMap::from_entries(std::vector<ParamEntry> entries) {
  stable_sort_by_key(entries.begin(), entries.end(), [](const ParamEntry& e) -> std::string_view { return e.key; });
  ParamMap map;
  map.entries_ = std::move(entries);
  return map;
}

}  // namespace veltrix
