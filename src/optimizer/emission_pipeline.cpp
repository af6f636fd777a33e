#include "optimizer/emission_pipeline.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "support/thread_pool.h"

namespace veltrix {
namespace {

// Thrown on the fusing thread when the sink has failed on the other: fusion stops, and the sink's
// own error is the one reported.
struct SinkFailed {};

// A sink that queues every call for `target`, which drain() makes in order. Fusion's thread
// appends; whoever holds the drain lock delivers (the second thread, or the fusing thread when the
// queue is full and nobody else is draining it).
class EmissionQueue final : public ReducedNodeSink {
 public:
  explicit EmissionQueue(ReducedNodeSink& target) : target_(target), items_(kCapacity) {}

  // Both come before the first node: no item is queued yet, so nobody is delivering.
  void reserve(std::size_t nodes, std::size_t words, std::size_t stages, std::size_t members,
               std::size_t refs) override {
    target_.reserve(nodes, words, stages, members, refs);
  }
  void use_templates(const SymbolTemplates& templates) override { target_.use_templates(templates); }

  void append_boundary(const NodeView& node, std::span<const NodeId> inputs) override {
    Item& item = free_item();
    item.kind = Item::Kind::Boundary;
    item.node.emplace(node);
    item.inputs.assign(inputs.begin(), inputs.end());
    publish();
  }
  void append_boundary_of(const SymbolTemplates& templates, SymbolId symbol, std::span<const NodeId> inputs) override {
    Item& item = free_item();
    item.kind = Item::Kind::BoundaryOf;
    item.templates = &templates;
    item.symbol = symbol;
    item.inputs.assign(inputs.begin(), inputs.end());
    publish();
  }
  void append_stage(const StageDraft& stage) override {
    Item& item = free_item();
    item.kind = Item::Kind::Stage;
    item.stage = stage;
    publish();
  }

  // No more items will come.
  void close() { closed_.store(true, std::memory_order_release); }

  // The second thread's part: delivers items until the queue is closed and empty, or the sink
  // has failed (its error is kept for error()).
  void deliver_until_closed() {
    try {
      for (;;) {
        const bool closed = closed_.load(std::memory_order_acquire);
        {
          std::lock_guard<std::mutex> lock(draining_);
          drain();
        }
        if (broken_.load(std::memory_order_acquire)) return;
        if (closed && tail_.load(std::memory_order_acquire) == head_.load(std::memory_order_acquire)) return;
        std::this_thread::yield();
      }
    } catch (...) {
      error_ = std::current_exception();
    }
  }

  // The failure of the sink on the second thread, if any.
  std::exception_ptr error() const { return error_; }

 private:
  struct Item {
    enum class Kind : std::uint8_t { Boundary, BoundaryOf, Stage };
    Kind kind = Kind::Stage;
    std::optional<NodeView> node;
    const SymbolTemplates* templates = nullptr;
    SymbolId symbol = 0;
    std::vector<NodeId> inputs;
    StageDraft stage;
  };
  // Enough that neither thread waits on the other's hiccups; the items' arrays are reused.
  static constexpr std::size_t kCapacity = 1024;

  // The slot of the next item, once there is room: while the queue is full, the fusing thread
  // drains it itself if nobody else is.
  Item& free_item() {
    const std::size_t head = head_.load(std::memory_order_relaxed);
    while (head - tail_.load(std::memory_order_acquire) == kCapacity) {
      if (broken_.load(std::memory_order_acquire)) throw SinkFailed{};
      if (draining_.try_lock()) {
        std::lock_guard<std::mutex> lock(draining_, std::adopt_lock);
        drain();
      } else {
        std::this_thread::yield();
      }
    }
    return items_[head % kCapacity];
  }

  void publish() { head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }

  // Delivers every published item, in order. Called with `draining_` held.
  void drain() {
    std::size_t tail = tail_.load(std::memory_order_relaxed);
    const std::size_t head = head_.load(std::memory_order_acquire);
    for (; tail != head; ++tail) {
      if (broken_.load(std::memory_order_relaxed)) return;
      try {
        deliver(items_[tail % kCapacity]);
      } catch (...) {
        broken_.store(true, std::memory_order_release);
        throw;
      }
      tail_.store(tail + 1, std::memory_order_release);
    }
  }

  void deliver(const Item& item) {
    switch (item.kind) {
      case Item::Kind::Boundary: target_.append_boundary(*item.node, item.inputs); return;
      case Item::Kind::BoundaryOf: target_.append_boundary_of(*item.templates, item.symbol, item.inputs); return;
      case Item::Kind::Stage: target_.append_stage(item.stage); return;
    }
  }

  ReducedNodeSink& target_;
  std::vector<Item> items_;
  alignas(64) std::atomic<std::size_t> head_{0};  // items published
  alignas(64) std::atomic<std::size_t> tail_{0};  // items delivered
  std::mutex draining_;
  std::atomic<bool> closed_{false};
  std::atomic<bool> broken_{false};
  std::exception_ptr error_;
};

}  // namespace

FusionResult fuse_and_emit_overlapped(const TermList& terms, std::span<const std::uint8_t> is_output,
                                      std::span<const TermIndex> outputs, const SymbolTemplates& templates,
                                      bool maximal_fusion, ReducedNodeSink& sink,
                                      std::vector<std::uint32_t>* term_positions) {
  ThreadPool& pool = ThreadPool::instance();
  if (!parallel_step(terms.size())) {
    return fuse_and_emit(terms, is_output, outputs, templates, maximal_fusion, sink, term_positions);
  }
  EmissionQueue queue(sink);
  FusionResult result;
  pool.run(2, [&](std::size_t part) {
    if (part == 1) {
      queue.deliver_until_closed();
      return;
    }
    try {
      result = fuse_and_emit(terms, is_output, outputs, templates, maximal_fusion, queue, term_positions);
    } catch (const SinkFailed&) {
      // The sink's error, kept by the queue, is rethrown below.
    } catch (...) {
      queue.close();
      throw;
    }
    queue.close();
  });
  if (const std::exception_ptr error = queue.error()) std::rethrow_exception(error);
  return result;
}

}  // namespace veltrix
