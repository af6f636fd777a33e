// Internal failures: the one way a broken invariant leaves native code.
//
// A check that must hold (a lookup that cannot miss, an index that cannot be out of range, a
// result that must succeed) calls internal_failure(). That aborts the current call by throwing
// InternalFailure, which unwinds through RAII guards (a PoisonableMutex guard marks its mutex
// poisoned on the way) up to the Python boundary, where it is reported on standard error and
// raised as the module's panic exception. Ordinary bad input never takes this path: it is
// returned as an error value (result.h).
#pragma once

#include <cstddef>
#include <source_location>
#include <string>

namespace veltrix {

// Deliberately not derived from std::exception, so no generic handler swallows it by accident.
class InternalFailure {
 public:
  InternalFailure(std::string message, std::source_location where) : message_(std::move(message)), where_(where) {}

  const std::string& message() const { return message_; }
  const std::source_location& where() const { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

[[noreturn]] void internal_failure(std::string message, std::source_location where = std::source_location::current());

// "index out of bounds: the len is {len} but the index is {index}".
[[noreturn]] void index_out_of_bounds(std::size_t len, std::size_t index,
                                      std::source_location where = std::source_location::current());

// "no entry found for key": a table lookup that the algorithm guarantees to succeed missed.
[[noreturn]] void missing_entry(std::source_location where = std::source_location::current());

// Bounds-checked element access whose failure is an internal failure, not undefined behaviour.
template <class Container>
decltype(auto) checked_at(Container& container, std::size_t index,
                          std::source_location where = std::source_location::current()) {
  if (index >= container.size()) index_out_of_bounds(container.size(), index, where);
  return container[index];
}

}  // namespace veltrix
