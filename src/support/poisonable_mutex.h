// A mutex that is poisoned for good when an internal failure unwinds through a holder.
//
// Data behind the mutex may be half-updated when a call is aborted, so after such an abort no
// later call may trust it: every later lock() fails with "<text>: PoisonError { .. }". Failures
// outside the locked region leave the mutex usable.
#pragma once

#include <exception>
#include <mutex>
#include <string>
#include <type_traits>

#include "support/internal_failure.h"

namespace veltrix {

class PoisonableMutex {
 public:
  // `poison_text` names the guarded object in the poisoned-lock message; it must outlive the mutex.
  explicit PoisonableMutex(const char* poison_text) : poison_text_(poison_text) {}
  PoisonableMutex(const PoisonableMutex&) = delete;
  PoisonableMutex& operator=(const PoisonableMutex&) = delete;

  class [[nodiscard]] Guard {
   public:
    explicit Guard(PoisonableMutex& owner) : owner_(owner), exceptions_at_entry_(std::uncaught_exceptions()) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      // More exceptions in flight than at entry: this holder is being unwound by a failure.
      if (std::uncaught_exceptions() > exceptions_at_entry_) owner_.poisoned_ = true;
      owner_.mutex_.unlock();
    }

   private:
    PoisonableMutex& owner_;
    int exceptions_at_entry_;
  };

  Guard lock(std::source_location where = std::source_location::current()) {
    mutex_.lock();
    if (poisoned_) {
      mutex_.unlock();
      internal_failure(std::string(poison_text_) + ": PoisonError { .. }", where);
    }
    return Guard(*this);
  }

  // Runs `body` under the lock and returns its result. The same poisoning as Guard, by a handler
  // instead of a destructor that has to ask whether it is unwinding (which costs two
  // thread-local lookups on every call): for the hottest operations.
  template <class Body>
  decltype(auto) run_locked(Body&& body, std::source_location where = std::source_location::current()) {
    mutex_.lock();
    if (poisoned_) {
      mutex_.unlock();
      internal_failure(std::string(poison_text_) + ": PoisonError { .. }", where);
    }
    try {
      if constexpr (std::is_void_v<decltype(body())>) {
        body();
        mutex_.unlock();
      } else {
        decltype(auto) result = body();
        mutex_.unlock();
        return result;
      }
    } catch (...) {
      poisoned_ = true;
      mutex_.unlock();
      throw;
    }
  }

  bool poisoned() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return poisoned_;
  }

 private:
  mutable std::mutex mutex_;
  bool poisoned_ = false;
  const char* poison_text_;
};

}  // namespace veltrix
