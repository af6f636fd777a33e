// A mutex that is poisoned for good when an internal failure unwinds through a holder.
//
// Data behind the mutex may be half-updated when a call is aborted, so after such an abort no
// later call may trust it: every later lock() fails with "<text>: PoisonError { .. }". Failures
// outside the locked region leave the mutex usable.
#pragma once

#include <exception>
#include <mutex>
#include <string>

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
    explicit Guard(PoisonableMutex& owner)
        : owner_(owner), exceptions_at_entry_(std::uncaught_exceptions()) {}
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
