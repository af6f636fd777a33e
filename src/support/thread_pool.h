// The module's worker threads, for the data-parallel steps of a reduction.
//
// One pool per process, started on first use with as many threads as the process may run on (or
// VELTRIX_THREADS, read once; 1 keeps every step on the calling thread, the sequential path that
// is the reference). A parallel step is a number of chunks; the calling thread works through them
// together with the pool's workers, so a caller never waits for a pool that is busy elsewhere, and
// many callers at once (several Python threads reducing) share the same workers instead of
// multiplying threads. No Python code ever runs on a worker.
//
// Results never depend on the number of threads or on timing: a step's chunks are fixed by its
// size and grain alone, each chunk writes only what belongs to it, and whatever combines chunks
// does so in chunk order on the calling thread.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>

namespace veltrix {

class ThreadPool {
 public:
  // The process's pool.
  static ThreadPool& instance();

  // How many threads a step may use, the calling thread included (at least 1).
  std::size_t width() const { return width_; }

  // Runs body(chunk) for every chunk in [0, chunks), and returns when all have run. An exception
  // thrown by a chunk (an internal failure, memory exhaustion) is rethrown here once every chunk
  // has finished or been skipped; the first one thrown wins.
  void run(std::size_t chunks, const std::function<void(std::size_t)>& body);

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

 private:
  explicit ThreadPool(std::size_t width);
  ~ThreadPool() = delete;  // lives until the process ends; its workers are detached
  void start_workers();

  std::size_t width_;
};

// The number of items (nodes, terms) below which a step stays on the calling thread: handing
// work to another thread costs microseconds, which a small graph does not repay. Tests lower it
// through VELTRIX_PARALLEL_MIN (read once) to run the parallel paths on small graphs.
std::size_t min_parallel_items();

// Whether a step over `items` items takes its parallel path: with at least min_parallel_items()
// of them, a pool of more than one thread, and no SequentialSteps alive on the calling thread.
// Either path gives the same result; the sequential one is the reference.
bool parallel_step(std::size_t items);

// While one is alive, parallel_step() says no on the thread that made it, so that a test can
// hold a step's parallel path to its sequential one in a single process.
class SequentialSteps {
 public:
  SequentialSteps();
  ~SequentialSteps();
  SequentialSteps(const SequentialSteps&) = delete;
  SequentialSteps& operator=(const SequentialSteps&) = delete;
};

// The chunk size of a parallel step: `grain`, or less when tests lower min_parallel_items(), so
// that their small graphs still make several chunks and exercise the combining of chunks.
inline std::size_t chunk_grain(std::size_t grain) {
  const std::size_t lowered = min_parallel_items() / 8;
  return lowered == 0 ? 1 : (lowered < grain ? lowered : grain);
}

// Splits [0, count) into chunks of `grain` items (the last one shorter) and runs
// body(begin, end) for each, in parallel where the pool allows. The chunks depend on count and
// grain alone.
template <class Body>
void parallel_for(std::size_t count, std::size_t grain, Body&& body) {
  if (count == 0) return;
  const std::size_t chunks = (count + grain - 1) / grain;
  if (chunks == 1 || ThreadPool::instance().width() == 1) {
    for (std::size_t c = 0; c < chunks; ++c) body(c * grain, c * grain + grain < count ? c * grain + grain : count);
    return;
  }
  ThreadPool::instance().run(chunks, [&](std::size_t c) {
    const std::size_t begin = c * grain;
    body(begin, begin + grain < count ? begin + grain : count);
  });
}

}  // namespace veltrix
