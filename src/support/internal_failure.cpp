#include "support/internal_failure.h"

namespace veltrix {

void internal_failure(std::string message, std::source_location where) {
  throw InternalFailure(std::move(message), where);
}

void index_out_of_bounds(std::size_t len, std::size_t index, std::source_location where) {
  internal_failure(
      "index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index), where);
}

void missing_entry(std::source_location where) { internal_failure("no entry found for key", where); }

}  // namespace veltrix
