// Result<T, E>: the return type of every fallible operation in the module.
//
// Errors are values: a function that can fail on its input returns a Result and the caller
// decides what to do with the error. Only the Python boundary turns an error into an exception.
// Broken invariants are not errors; they go through internal_failure (internal_failure.h).
#pragma once

#include <cstddef>
#include <source_location>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "support/internal_failure.h"

namespace veltrix {

// Wraps an error so that Result<T, E> can be constructed from it even when T and E convert
// into each other.
template <class E>
struct Err {
  E error;
};

template <class E>
Err<std::decay_t<E>> make_err(E&& error) {
  return Err<std::decay_t<E>>{std::forward<E>(error)};
}

// Reading the side a result does not hold breaks the caller's own invariant: an internal failure
// reported where the read happened, not an exception that nothing at the boundary expects.
[[noreturn]] inline void missing_side_of_result(bool value_wanted, std::source_location where) {
  internal_failure(value_wanted ? "Result::value() called on a Result that holds an error"
                                : "Result::error() called on a Result that holds a value",
                   where);
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  template <class E2>
  Result(Err<E2> err) : state_(std::in_place_index<1>, std::move(err.error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value(std::source_location where = std::source_location::current()) & { return side<0>(*this, where); }
  const T& value(std::source_location where = std::source_location::current()) const& { return side<0>(*this, where); }
  T&& value(std::source_location where = std::source_location::current()) && {
    return std::move(side<0>(*this, where));
  }

  E& error(std::source_location where = std::source_location::current()) & { return side<1>(*this, where); }
  const E& error(std::source_location where = std::source_location::current()) const& { return side<1>(*this, where); }
  E&& error(std::source_location where = std::source_location::current()) && {
    return std::move(side<1>(*this, where));
  }

 private:
  // Side I (0 the value, 1 the error) of a result, const or not, when it holds that side.
  template <std::size_t I, class Self>
  static auto& side(Self& self, std::source_location where) {
    if (self.ok() != (I == 0)) missing_side_of_result(I == 0, where);
    return *std::get_if<I>(&self.state_);
  }

  std::variant<T, E> state_;
};

// Result of an operation that produces nothing but may fail.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class E2>
  Result(Err<E2> err) : error_(std::move(err.error)), failed_(true) {}  // NOLINT

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  E& error(std::source_location where = std::source_location::current()) & {
    require_error(where);
    return error_;
  }
  const E& error(std::source_location where = std::source_location::current()) const& {
    require_error(where);
    return error_;
  }

 private:
  void require_error(std::source_location where) const {
    if (!failed_) missing_side_of_result(false, where);
  }

  E error_{};
  bool failed_ = false;
};

// Unwraps a result that the caller's invariants require to succeed. A failure is an internal
// failure whose message is the check text, ": " and the error's debugging form, which the error
// type provides as `debug_string()`.
template <class T, class E>
T expect_ok(Result<T, E>&& result, const char* check_text,
            std::source_location where = std::source_location::current()) {
  if (!result.ok()) {
    internal_failure(std::string(check_text) + ": " + result.error().debug_string(), where);
  }
  if constexpr (!std::is_void_v<T>) return std::move(result).value();
}

}  // namespace veltrix
