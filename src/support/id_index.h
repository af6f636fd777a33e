// IdIndex: the index every interning table of the project keeps beside its dense array of values
// (texts, nodes, symbols, terms, shapes): a hash table of (id, hash) slots that finds the id of a
// value by the value's hash and a comparison the caller makes against its own array.
//
// A slot is eight bytes, so the index of a million values stays within the last-level cache. It
// keeps the upper 32 bits of the value's 64-bit hash: the table position derives from a mix of
// them, so growing never rehashes a value, and a probe compares the stored half before it calls
// the comparison, which reads the value itself.
#pragma once

#include <cstdint>
#include <optional>

#include "support/hash_table.h"
#include "support/hashing.h"

namespace veltrix {

class IdIndex {
 public:
  // The part of a 64-bit hash the index keeps.
  static std::uint32_t stored_hash(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }

  // The id whose value `same(id)` says equals the one hashed, if any.
  template <class Same>
  std::optional<std::uint32_t> find(std::uint64_t hash, Same&& same) const {
    const std::uint32_t h = stored_hash(hash);
    const Slot* slot = table_.find(position(h), [&](const Slot& s) { return s.hash == h && same(s.id); });
    if (!slot) return std::nullopt;
    return slot->id;
  }

  // Adds `id` for a value that find() has just reported absent.
  void insert(std::uint64_t hash, std::uint32_t id) {
    const std::uint32_t h = stored_hash(hash);
    table_.insert_absent(position(h), Slot{id, h}, rehash);
  }

  // Removes the slot of `id`, which must be there.
  bool erase(std::uint64_t hash, std::uint32_t id) {
    const std::uint32_t h = stored_hash(hash);
    Slot* slot = table_.find(position(h), [&](const Slot& s) { return s.id == id; });
    if (!slot) return false;
    table_.erase(slot);
    return true;
  }

  // Starts loading the probe of `hash` (see RawHashTable::prefetch).
  void prefetch(std::uint64_t hash) const { table_.prefetch(position(stored_hash(hash))); }
  void reserve(std::size_t count) { table_.reserve(count, rehash); }
  std::size_t size() const { return table_.size(); }
  std::size_t memory_bytes() const { return table_.memory_bytes(); }

 private:
  struct Slot {
    std::uint32_t id;
    std::uint32_t hash;
  };
  static std::uint64_t position(std::uint32_t stored) { return mix64(stored); }
  static std::uint64_t rehash(const Slot& slot) { return position(slot.hash); }

  RawHashTable<Slot> table_;
};

}  // namespace veltrix
