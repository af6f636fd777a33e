#include "support/thread_pool.h"

#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

namespace veltrix {
namespace {

// One call of run(): its chunks are claimed one at a time by whoever works on it.
struct Job {
  const std::function<void(std::size_t)>* body = nullptr;
  std::size_t chunks = 0;
  std::atomic<std::size_t> next{0};  // the next chunk to claim
  std::atomic<std::size_t> done{0};  // chunks finished (run or skipped)
  std::atomic<bool> failed{false};
  std::exception_ptr error;  // the first failure, written once under `failed`
  std::mutex finished_mutex;
  std::condition_variable finished;

  // Claims and runs chunks until none is left; returns how many this thread finished.
  void work() {
    std::size_t finished_here = 0;
    for (std::size_t chunk; (chunk = next.fetch_add(1, std::memory_order_relaxed)) < chunks;) {
      if (!failed.load(std::memory_order_relaxed)) {
        try {
          (*body)(chunk);
        } catch (...) {
          if (!failed.exchange(true)) error = std::current_exception();
        }
      }
      ++finished_here;
    }
    if (finished_here != 0 && done.fetch_add(finished_here, std::memory_order_acq_rel) + finished_here == chunks) {
      std::lock_guard<std::mutex> lock(finished_mutex);
      finished.notify_all();
    }
  }
};

// The jobs with chunks left to claim, oldest first, and the workers waiting for one.
struct Queue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::shared_ptr<Job>> jobs;
};

Queue& queue() {
  static Queue* q = new Queue;  // never destroyed: detached workers may use it until exit
  return *q;
}

void worker_loop() {
  Queue& q = queue();
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(q.mutex);
      q.ready.wait(lock, [&] { return !q.jobs.empty(); });
      job = q.jobs.front();
      // A job whose chunks are all claimed leaves the queue; its claimers finish it.
      if (job->next.load(std::memory_order_relaxed) >= job->chunks) {
        q.jobs.pop_front();
        continue;
      }
    }
    job->work();
  }
}

// The processors this process may run on, at least 1.
std::size_t available_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware ? hardware : 1;
}

// VELTRIX_THREADS when it is a whole number from 1 to 1024, else the available cores.
std::size_t configured_width() {
  if (const char* text = std::getenv("VELTRIX_THREADS")) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end != text && *end == '\0' && value >= 1 && value <= 1024) return value;
  }
  return available_cores();
}

}  // namespace

std::size_t min_parallel_items() {
  static const std::size_t items = [] {
    if (const char* text = std::getenv("VELTRIX_PARALLEL_MIN")) {
      char* end = nullptr;
      const unsigned long long value = std::strtoull(text, &end, 10);
      if (end != text && *end == '\0') return static_cast<std::size_t>(value);
    }
    return std::size_t{1} << 16;
  }();
  return items;
}

namespace {
thread_local std::size_t sequential_scopes = 0;
}  // namespace

SequentialSteps::SequentialSteps() { ++sequential_scopes; }
SequentialSteps::~SequentialSteps() { --sequential_scopes; }

bool parallel_step(std::size_t items) {
  return sequential_scopes == 0 && items >= min_parallel_items() && ThreadPool::instance().width() > 1;
}

ThreadPool::ThreadPool(std::size_t width) : width_(width) {}

ThreadPool& ThreadPool::instance() {
  static ThreadPool* pool = [] {
    auto* made = new ThreadPool(configured_width());
    made->start_workers();
    return made;
  }();
  return *pool;
}

void ThreadPool::start_workers() {
  // The calling thread is one of the `width_` threads of every step.
  for (std::size_t i = 1; i < width_; ++i) {
    try {
      std::thread(worker_loop).detach();
    } catch (const std::system_error&) {
      width_ = i;  // a process that may not start threads runs with those it has
      break;
    }
  }
}

void ThreadPool::run(std::size_t chunks, const std::function<void(std::size_t)>& body) {
  if (chunks == 0) return;
  auto job = std::make_shared<Job>();
  job->body = &body;
  job->chunks = chunks;
  if (width_ > 1 && chunks > 1) {
    Queue& q = queue();
    {
      std::lock_guard<std::mutex> lock(q.mutex);
      q.jobs.push_back(job);
    }
    q.ready.notify_all();
  }
  job->work();
  {
    std::unique_lock<std::mutex> lock(job->finished_mutex);
    job->finished.wait(lock, [&] { return job->done.load(std::memory_order_acquire) == chunks; });
  }
  if (job->failed.load()) std::rethrow_exception(job->error);
}

}  // namespace veltrix
