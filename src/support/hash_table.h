// The project's one open-addressing hash table.
//
// Layout: a power-of-two array of slots plus one control byte per slot. A full slot's control
// byte holds 7 bits of its hash, so a probe compares 16 control bytes at once (SSE2) and touches
// a slot only when those bits match. Probing visits aligned groups of 16 in triangular order,
// which reaches every group of a power-of-two table. The load stays at or below 7/8.
//
// RawHashTable stores caller-defined slots and never computes a hash itself: callers pass the
// hash in, compare with their own predicate (so a table of ids can be probed with content that
// lives elsewhere), and tell it how to re-derive a slot's hash when the table grows. HashMap
// and HashSet are the ordinary keyed containers built on it.
//
// Iteration order is the slot order, which depends on hash values: nothing observable may be
// derived from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "support/hashing.h"

namespace veltrix {

namespace hash_table_detail {

inline constexpr std::int8_t kEmpty = static_cast<std::int8_t>(0x80);
inline constexpr std::int8_t kDeleted = static_cast<std::int8_t>(0xFE);
inline constexpr std::size_t kGroupWidth = 16;

// A set of positions within one group, lowest first.
class BitMask {
 public:
  explicit BitMask(std::uint32_t bits) : bits_(bits) {}
  explicit operator bool() const { return bits_ != 0; }
  unsigned lowest() const { return static_cast<unsigned>(__builtin_ctz(bits_)); }
  void drop_lowest() { bits_ &= bits_ - 1; }

 private:
  std::uint32_t bits_;
};

class Group {
 public:
  explicit Group(const std::int8_t* ctrl) {
#if defined(__SSE2__)
    ctrl_ = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ctrl));
#else
    std::memcpy(ctrl_, ctrl, kGroupWidth);
#endif
  }

  BitMask match(std::int8_t tag) const {
#if defined(__SSE2__)
    return BitMask(static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_set1_epi8(tag), ctrl_))));
#else
    std::uint32_t bits = 0;
    for (unsigned i = 0; i < kGroupWidth; ++i) bits |= std::uint32_t(ctrl_[i] == tag) << i;
    return BitMask(bits);
#endif
  }

  BitMask match_empty() const { return match(kEmpty); }

  // Empty and deleted control bytes are the ones with the high bit set.
  BitMask match_empty_or_deleted() const {
#if defined(__SSE2__)
    return BitMask(static_cast<std::uint32_t>(_mm_movemask_epi8(ctrl_)));
#else
    std::uint32_t bits = 0;
    for (unsigned i = 0; i < kGroupWidth; ++i) bits |= std::uint32_t(ctrl_[i] < 0) << i;
    return BitMask(bits);
#endif
  }

 private:
#if defined(__SSE2__)
  __m128i ctrl_;
#else
  std::int8_t ctrl_[kGroupWidth];
#endif
};

inline std::int8_t tag_of(std::uint64_t hash) { return static_cast<std::int8_t>(hash & 0x7F); }
inline std::size_t group_of(std::uint64_t hash) { return static_cast<std::size_t>(hash >> 7); }

}  // namespace hash_table_detail

template <class Slot>
class RawHashTable {
 public:
  RawHashTable() = default;
  RawHashTable(const RawHashTable& other) { copy_from(other); }
  RawHashTable(RawHashTable&& other) noexcept { steal(other); }
  RawHashTable& operator=(const RawHashTable& other) {
    if (this != &other) {
      destroy();
      copy_from(other);
    }
    return *this;
  }
  RawHashTable& operator=(RawHashTable&& other) noexcept {
    if (this != &other) {
      destroy();
      steal(other);
    }
    return *this;
  }
  ~RawHashTable() { destroy(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t capacity() const { return capacity_; }

  // Finds the slot with this hash for which `eq(slot)` holds, or nullptr.
  template <class Eq>
  Slot* find(std::uint64_t hash, Eq&& eq) const {
    using namespace hash_table_detail;
    if (capacity_ == 0) return nullptr;
    const std::int8_t tag = tag_of(hash);
    std::size_t group = group_of(hash) & group_mask_;
    for (std::size_t step = 1;; ++step) {
      const std::size_t base = group * kGroupWidth;
      Group g(ctrl_ + base);
      for (BitMask m = g.match(tag); m; m.drop_lowest()) {
        Slot* slot = slots_ + base + m.lowest();
        if (eq(static_cast<const Slot&>(*slot))) return slot;
      }
      if (g.match_empty()) return nullptr;
      group = (group + step) & group_mask_;
    }
  }

  // Inserts a slot whose key the caller knows to be absent. `hash_of(slot)` must give the hash
  // of a stored slot; it is called only when the table grows.
  template <class HashOf>
  Slot* insert_absent(std::uint64_t hash, Slot slot, HashOf&& hash_of) {
    if (growth_left_ == 0) grow(size_ + 1, hash_of);
    std::size_t index = free_position(hash);
    if (ctrl_[index] == hash_table_detail::kDeleted) {
      --tombstones_;
    } else {
      --growth_left_;
    }
    ctrl_[index] = hash_table_detail::tag_of(hash);
    ::new (static_cast<void*>(slots_ + index)) Slot(std::move(slot));
    ++size_;
    return slots_ + index;
  }

  // Removes a slot found by find(). The position becomes a tombstone so probe chains stay intact.
  void erase(Slot* slot) {
    const std::size_t index = static_cast<std::size_t>(slot - slots_);
    slot->~Slot();
    ctrl_[index] = hash_table_detail::kDeleted;
    --size_;
    ++tombstones_;
  }

  // Makes room for `count` slots in all, so that many inserts do not grow the table.
  template <class HashOf>
  void reserve(std::size_t count, HashOf&& hash_of) {
    if (count > size_ + growth_left_) grow(count, hash_of);
  }

  void clear() {
    destroy();
    capacity_ = size_ = tombstones_ = growth_left_ = group_mask_ = 0;
  }

  // Visits every full slot in slot order (an order that depends on hashes).
  template <class F>
  void for_each(F&& visit) const {
    for (std::size_t i = 0; i < capacity_; ++i) {
      if (ctrl_[i] >= 0) visit(static_cast<const Slot&>(slots_[i]));
    }
  }
  template <class F>
  void for_each_mut(F&& visit) {
    for (std::size_t i = 0; i < capacity_; ++i) {
      if (ctrl_[i] >= 0) visit(slots_[i]);
    }
  }

  std::size_t memory_bytes() const { return capacity_ * (sizeof(Slot) + 1); }

 private:
  static std::size_t max_load(std::size_t capacity) { return capacity - capacity / 8; }

  std::size_t free_position(std::uint64_t hash) const {
    using namespace hash_table_detail;
    std::size_t group = group_of(hash) & group_mask_;
    for (std::size_t step = 1;; ++step) {
      const std::size_t base = group * kGroupWidth;
      BitMask m = Group(ctrl_ + base).match_empty_or_deleted();
      if (m) return base + m.lowest();
      group = (group + step) & group_mask_;
    }
  }

  template <class HashOf>
  void grow(std::size_t wanted, HashOf& hash_of) {
    using namespace hash_table_detail;
    std::size_t capacity = kGroupWidth;
    while (max_load(capacity) < wanted) capacity *= 2;
    if (capacity <= capacity_) {
      // Out of room at this size only because of tombstones: rebuild in place when at most half
      // the load is live, otherwise double so that rebuilds stay amortised.
      capacity = size_ * 2 >= max_load(capacity_) ? capacity_ * 2 : capacity_;
    }

    std::int8_t* old_ctrl = ctrl_;
    Slot* old_slots = slots_;
    const std::size_t old_capacity = capacity_;

    allocate(capacity);
    for (std::size_t i = 0; i < old_capacity; ++i) {
      if (old_ctrl[i] < 0) continue;
      Slot& slot = old_slots[i];
      const std::uint64_t hash = hash_of(static_cast<const Slot&>(slot));
      const std::size_t index = free_position(hash);
      ctrl_[index] = tag_of(hash);
      ::new (static_cast<void*>(slots_ + index)) Slot(std::move(slot));
      slot.~Slot();
    }
    release(old_ctrl, old_slots);
  }

  void allocate(std::size_t capacity) {
    ctrl_ = new std::int8_t[capacity];
    std::memset(ctrl_, static_cast<unsigned char>(hash_table_detail::kEmpty), capacity);
    slots_ = static_cast<Slot*>(::operator new(capacity * sizeof(Slot), std::align_val_t(alignof(Slot))));
    capacity_ = capacity;
    group_mask_ = capacity / hash_table_detail::kGroupWidth - 1;
    growth_left_ = max_load(capacity) - size_;
    tombstones_ = 0;
  }

  static void release(std::int8_t* ctrl, Slot* slots) {
    delete[] ctrl;
    if (slots) ::operator delete(slots, std::align_val_t(alignof(Slot)));
  }

  void destroy() {
    if (!std::is_trivially_destructible_v<Slot>) {
      for (std::size_t i = 0; i < capacity_; ++i) {
        if (ctrl_[i] >= 0) slots_[i].~Slot();
      }
    }
    release(ctrl_, slots_);
    ctrl_ = nullptr;
    slots_ = nullptr;
  }

  void copy_from(const RawHashTable& other) {
    ctrl_ = nullptr;
    slots_ = nullptr;
    capacity_ = size_ = tombstones_ = growth_left_ = group_mask_ = 0;
    if (other.capacity_ == 0) return;
    allocate(other.capacity_);
    std::memcpy(ctrl_, other.ctrl_, capacity_);
    for (std::size_t i = 0; i < capacity_; ++i) {
      if (ctrl_[i] >= 0) ::new (static_cast<void*>(slots_ + i)) Slot(other.slots_[i]);
    }
    size_ = other.size_;
    tombstones_ = other.tombstones_;
    growth_left_ = other.growth_left_;
  }

  void steal(RawHashTable& other) {
    ctrl_ = std::exchange(other.ctrl_, nullptr);
    slots_ = std::exchange(other.slots_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    size_ = std::exchange(other.size_, 0);
    tombstones_ = std::exchange(other.tombstones_, 0);
    growth_left_ = std::exchange(other.growth_left_, 0);
    group_mask_ = std::exchange(other.group_mask_, 0);
  }

  std::int8_t* ctrl_ = nullptr;
  Slot* slots_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  std::size_t tombstones_ = 0;
  std::size_t growth_left_ = 0;
  std::size_t group_mask_ = 0;
};

// Default hashers: a strong integer mixer for integral keys, the project's byte hash for text.
template <class K, class Enable = void>
struct DefaultHash;

template <class K>
struct DefaultHash<K, std::enable_if_t<std::is_integral_v<K> || std::is_enum_v<K>>> {
  std::uint64_t operator()(K key) const { return mix64(static_cast<std::uint64_t>(key)); }
};

template <>
struct DefaultHash<std::string> {
  std::uint64_t operator()(std::string_view key) const { return hash_bytes(key.data(), key.size()); }
};

template <>
struct DefaultHash<std::string_view> : DefaultHash<std::string> {};

// A map from K to V. Each entry keeps its hash, so growing never rehashes keys.
template <class K, class V, class Hash = DefaultHash<K>, class Eq = std::equal_to<>>
class HashMap {
 public:
  struct Entry {
    std::uint64_t hash;
    K key;
    V value;
  };

  HashMap() = default;
  explicit HashMap(Hash hasher) : hasher_(std::move(hasher)) {}

  std::size_t size() const { return table_.size(); }
  bool empty() const { return table_.empty(); }
  void reserve(std::size_t count) { table_.reserve(count, stored_hash); }
  void clear() { table_.clear(); }

  template <class Q>
  V* find(const Q& key) {
    Entry* e = find_entry(hasher_(key), key);
    return e ? &e->value : nullptr;
  }
  template <class Q>
  const V* find(const Q& key) const {
    const Entry* e = find_entry(hasher_(key), key);
    return e ? &e->value : nullptr;
  }
  template <class Q>
  bool contains(const Q& key) const {
    return find(key) != nullptr;
  }

  // Returns the value for `key`, inserting `make()` first when the key is absent; the bool tells
  // whether it was inserted.
  template <class Q, class Make>
  std::pair<V*, bool> find_or_insert_with(const Q& key, Make&& make) {
    const std::uint64_t hash = hasher_(key);
    if (Entry* e = find_entry(hash, key)) return {&e->value, false};
    Entry* e = table_.insert_absent(hash, Entry{hash, K(key), make()}, stored_hash);
    return {&e->value, true};
  }

  template <class Q>
  std::pair<V*, bool> try_emplace(const Q& key, V value) {
    return find_or_insert_with(key, [&]() -> V { return std::move(value); });
  }

  // Inserts or overwrites; returns true when the key was new.
  template <class Q>
  bool insert_or_assign(const Q& key, V value) {
    auto [slot, inserted] = find_or_insert_with(key, [&]() -> V { return value; });
    if (!inserted) *slot = std::move(value);
    return inserted;
  }

  template <class Q>
  bool erase(const Q& key) {
    Entry* e = find_entry(hasher_(key), key);
    if (!e) return false;
    table_.erase(e);
    return true;
  }

  // Slot order: depends on hash values, never observable.
  template <class F>
  void for_each(F&& visit) const {
    table_.for_each([&](const Entry& e) { visit(e.key, e.value); });
  }

 private:
  static std::uint64_t stored_hash(const Entry& e) { return e.hash; }

  template <class Q>
  Entry* find_entry(std::uint64_t hash, const Q& key) const {
    return table_.find(hash, [&](const Entry& e) { return e.hash == hash && Eq{}(e.key, key); });
  }

  RawHashTable<Entry> table_;
  [[no_unique_address]] Hash hasher_{};
};

template <class K, class Hash = DefaultHash<K>, class Eq = std::equal_to<>>
class HashSet {
 public:
  std::size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }
  void reserve(std::size_t count) { map_.reserve(count); }
  void clear() { map_.clear(); }
  template <class Q>
  bool contains(const Q& key) const {
    return map_.contains(key);
  }
  // Returns true when the key was new.
  template <class Q>
  bool insert(const Q& key) {
    return map_.try_emplace(key, Unit{}).second;
  }
  template <class Q>
  bool erase(const Q& key) {
    return map_.erase(key);
  }
  template <class F>
  void for_each(F&& visit) const {
    map_.for_each([&](const K& key, const auto&) { visit(key); });
  }

 private:
  struct Unit {};
  HashMap<K, Unit, Hash, Eq> map_;
};

}  // namespace veltrix
