// SharedNodeTable: a store's node table that readers can hold on to without copying it.
//
// A reduction, a serialization or a list of node views reads the whole table while recording
// goes on, so it used to work on a copy taken under the store's lock: at ten million nodes that
// copy is as large as the store itself and the largest single item of a reduction's peak memory.
// Here a reader shares the table instead (share(), under the store's lock), and the store copies
// it only when it writes while a reader still holds it (writable()). Readers never wait and never
// see a change; a store nobody reads from never copies.
#pragma once

#include <atomic>
#include <cstddef>

#include "store/node_table.h"

namespace veltrix {

class SharedNodeTable {
 public:
  SharedNodeTable() : block_(new Block) {}
  SharedNodeTable(const SharedNodeTable& other) noexcept : block_(other.block_) { retain(); }
  SharedNodeTable(SharedNodeTable&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
  SharedNodeTable& operator=(const SharedNodeTable& other) noexcept {
    SharedNodeTable copy(other);
    swap(copy);
    return *this;
  }
  SharedNodeTable& operator=(SharedNodeTable&& other) noexcept {
    SharedNodeTable moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~SharedNodeTable() { release(); }

  const NodeTable& get() const { return block_->table; }
  const NodeTable* operator->() const { return &block_->table; }
  const NodeTable& operator*() const { return block_->table; }

  // Another handle on the same table; its holder may read it from any thread. The owner calls
  // this under the lock that orders its writes.
  SharedNodeTable share() const { return *this; }

  // The table for writing: a private copy first when a reader still holds this one. The acquire
  // load pairs with a reader's releasing drop of its handle, so every read it made happened
  // before the owner's writes to the same memory.
  NodeTable& writable() {
    if (block_->refs.load(std::memory_order_acquire) != 1) {
      SharedNodeTable copy(block_->table);
      swap(copy);
    }
    return block_->table;
  }

 private:
  struct Block {
    Block() = default;
    explicit Block(const NodeTable& original) : table(original) {}
    std::atomic<std::size_t> refs{1};
    NodeTable table;
  };

  explicit SharedNodeTable(const NodeTable& table) : block_(new Block(table)) {}

  void swap(SharedNodeTable& other) noexcept {
    Block* block = block_;
    block_ = other.block_;
    other.block_ = block;
  }
  void retain() {
    if (block_) block_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  void release() {
    if (block_ && block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete block_;
  }

  Block* block_;
};

}  // namespace veltrix
