// Process-wide values made on first need and kept until the process ends: the classes, the
// panic exception type, interned dict keys, collections.abc.Sequence.
//
// Making one can run Python code (an import and whatever import hooks do, a collection that runs
// finalizers), and that code may call into this module again, on this thread or another. So no
// lock is held while a value is made: each racing caller makes its own, the first to publish
// wins, and the others discard theirs. Nothing can wait for itself, and a failed attempt leaves
// the slot empty for the next call to try again.
#pragma once

#include <atomic>

#include "python/py_ref.h"

namespace veltrix::python {

template <class T>
class ProcessOnce {
 public:
  constexpr ProcessOnce() = default;
  ProcessOnce(const ProcessOnce&) = delete;
  ProcessOnce& operator=(const ProcessOnce&) = delete;

  // The published value, made by `make()` (a new T*, or null with a Python exception set) if
  // there is none yet; `discard(T*)` frees a value that lost the race.
  template <class Make, class Discard>
  T* get(Make&& make, Discard&& discard) {
    if (T* ready = value_.load(std::memory_order_acquire)) return ready;
    T* fresh = make();
    if (!fresh) return nullptr;
    T* published = nullptr;
    if (value_.compare_exchange_strong(published, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
      return fresh;
    }
    discard(fresh);
    return published;
  }

 private:
  std::atomic<T*> value_{nullptr};
};

// A process-wide object. `get` returns it BORROWED: the process keeps the one reference.
class ProcessObject {
 public:
  constexpr ProcessObject() = default;

  // `make()` returns a new reference, or null with an exception set.
  template <class Make>
  PyObject* get(Make&& make) {
    return once_.get(make, [](PyObject* loser) { Py_DECREF(loser); });
  }

 private:
  ProcessOnce<PyObject> once_;
};

}  // namespace veltrix::python
