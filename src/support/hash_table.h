// The project's one open-addressing hash table.
//
// Layout: slots live in chunks of 14, each chunk starting with 16 control bytes (14 used). A full
// slot's control byte holds 7 bits of its hash, so a probe compares a chunk's control bytes at
// once (SSE2) and touches a slot only when those bits match. The control bytes and the slots of
// a chunk are adjacent in memory, so a lookup in a large table usually costs one cache miss, not
// two. Probing visits chunks in triangular order, which reaches every chunk of a power-of-two
// chunk count. The load stays at or below 7/8.
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
#include "support/memory_blocks.h"

namespace veltrix {

namespace hash_table_detail {

inline constexpr std::int8_t kEmpty = static_cast<std::int8_t>(0x80);
inline constexpr std::int8_t kDeleted = static_cast<std::int8_t>(0xFE);
inline constexpr std::int8_t kUnused = static_cast<std::int8_t>(0xFF);  // the two spare control bytes
inline constexpr std::size_t kChunkSlots = 14;
inline constexpr std::uint32_t kSlotMask = (1u << kChunkSlots) - 1;

// A set of slot positions within one chunk, lowest first.
class BitMask {
 public:
  explicit BitMask(std::uint32_t bits) : bits_(bits) {}
  explicit operator bool() const { return bits_ != 0; }
  unsigned lowest() const { return static_cast<unsigned>(__builtin_ctz(bits_)); }
  void drop_lowest() { bits_ &= bits_ - 1; }

 private:
  std::uint32_t bits_;
};

class ControlBytes {
 public:
  explicit ControlBytes(const std::int8_t* ctrl) {
#if defined(__SSE2__)
    ctrl_ = _mm_load_si128(reinterpret_cast<const __m128i*>(ctrl));
#else
    std::memcpy(ctrl_, ctrl, 16);
#endif
  }

  BitMask match(std::int8_t tag) const {
#if defined(__SSE2__)
    return BitMask(static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_set1_epi8(tag), ctrl_))) &
                   kSlotMask);
#else
    std::uint32_t bits = 0;
    for (unsigned i = 0; i < kChunkSlots; ++i) bits |= std::uint32_t(ctrl_[i] == tag) << i;
    return BitMask(bits);
#endif
  }

  BitMask match_empty() const { return match(kEmpty); }

  // Empty and deleted control bytes are the ones with the high bit set.
  BitMask match_empty_or_deleted() const {
#if defined(__SSE2__)
    return BitMask(static_cast<std::uint32_t>(_mm_movemask_epi8(ctrl_)) & kSlotMask);
#else
    std::uint32_t bits = 0;
    for (unsigned i = 0; i < kChunkSlots; ++i) bits |= std::uint32_t(ctrl_[i] < 0) << i;
    return BitMask(bits);
#endif
  }

 private:
#if defined(__SSE2__)
  __m128i ctrl_;
#else
  std::int8_t ctrl_[16];
#endif
};

inline std::int8_t tag_of(std::uint64_t hash) { return static_cast<std::int8_t>(hash & 0x7F); }
inline std::size_t chunk_of(std::uint64_t hash) { return static_cast<std::size_t>(hash >> 7); }

}  // namespace hash_table_detail

template <class Slot>
class RawHashTable {
  struct alignas(16) Chunk {
    std::int8_t ctrl[16];
    alignas(Slot) unsigned char storage[hash_table_detail::kChunkSlots * sizeof(Slot)];

    Slot* slot(std::size_t i) { return std::launder(reinterpret_cast<Slot*>(storage)) + i; }
  };

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
  std::size_t capacity() const { return chunk_count_ * hash_table_detail::kChunkSlots; }

  // Finds the slot with this hash for which `eq(slot)` holds, or nullptr.
  template <class Eq>
  Slot* find(std::uint64_t hash, Eq&& eq) const {
    using namespace hash_table_detail;
    if (chunk_count_ == 0) return nullptr;
    const std::int8_t tag = tag_of(hash);
    std::size_t index = chunk_of(hash) & chunk_mask_;
    for (std::size_t step = 1;; ++step) {
      Chunk& chunk = chunks_[index];
      ControlBytes ctrl(chunk.ctrl);
      for (BitMask m = ctrl.match(tag); m; m.drop_lowest()) {
        Slot* slot = chunk.slot(m.lowest());
        if (eq(static_cast<const Slot&>(*slot))) return slot;
      }
      if (ctrl.match_empty()) return nullptr;
      index = (index + step) & chunk_mask_;
    }
  }

  // Starts loading the chunk a probe for `hash` begins at. Callers working through many keys
  // issue it a few keys ahead, so that the cache misses of a large table overlap.
  void prefetch(std::uint64_t hash) const {
    if (chunk_count_ != 0) __builtin_prefetch(&chunks_[hash_table_detail::chunk_of(hash) & chunk_mask_]);
  }

  // Inserts a slot whose key the caller knows to be absent. `hash_of(slot)` must give the hash
  // of a stored slot; it is called only when the table grows.
  template <class HashOf>
  Slot* insert_absent(std::uint64_t hash, Slot slot, HashOf&& hash_of) {
    if (growth_left_ == 0) grow(size_ + 1, hash_of);
    auto [chunk, position] = free_position(hash);
    if (chunk->ctrl[position] == hash_table_detail::kDeleted) {
      --tombstones_;
    } else {
      --growth_left_;
    }
    chunk->ctrl[position] = hash_table_detail::tag_of(hash);
    Slot* stored = chunk->slot(position);
    ::new (static_cast<void*>(stored)) Slot(std::move(slot));
    ++size_;
    return stored;
  }

  // Removes a slot found by find(). The position becomes a tombstone so probe chains stay intact.
  void erase(Slot* slot) {
    const auto offset = reinterpret_cast<const unsigned char*>(slot) - reinterpret_cast<const unsigned char*>(chunks_);
    Chunk& chunk = chunks_[static_cast<std::size_t>(offset) / sizeof(Chunk)];
    const std::size_t position = static_cast<std::size_t>(slot - chunk.slot(0));
    slot->~Slot();
    chunk.ctrl[position] = hash_table_detail::kDeleted;
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
    chunk_count_ = size_ = tombstones_ = growth_left_ = chunk_mask_ = 0;
  }

  // Visits every full slot in slot order (an order that depends on hashes).
  template <class F>
  void for_each(F&& visit) const {
    for (std::size_t c = 0; c < chunk_count_; ++c) {
      for (std::size_t i = 0; i < hash_table_detail::kChunkSlots; ++i) {
        if (chunks_[c].ctrl[i] >= 0) visit(static_cast<const Slot&>(*chunks_[c].slot(i)));
      }
    }
  }
  template <class F>
  void for_each_mut(F&& visit) {
    for (std::size_t c = 0; c < chunk_count_; ++c) {
      for (std::size_t i = 0; i < hash_table_detail::kChunkSlots; ++i) {
        if (chunks_[c].ctrl[i] >= 0) visit(*chunks_[c].slot(i));
      }
    }
  }

  std::size_t memory_bytes() const { return chunk_count_ * sizeof(Chunk); }

 private:
  static std::size_t max_load(std::size_t capacity) { return capacity - capacity / 8; }

  std::pair<Chunk*, std::size_t> free_position(std::uint64_t hash) const {
    using namespace hash_table_detail;
    std::size_t index = chunk_of(hash) & chunk_mask_;
    for (std::size_t step = 1;; ++step) {
      BitMask m = ControlBytes(chunks_[index].ctrl).match_empty_or_deleted();
      if (m) return {&chunks_[index], m.lowest()};
      index = (index + step) & chunk_mask_;
    }
  }

  template <class HashOf>
  void grow(std::size_t wanted, HashOf& hash_of) {
    using namespace hash_table_detail;
    std::size_t chunk_count = 1;
    while (max_load(chunk_count * kChunkSlots) < wanted) chunk_count *= 2;
    if (chunk_count <= chunk_count_) {
      // Out of room at this size only because of tombstones: rebuild in place when at most half
      // the load is live, otherwise double so that rebuilds stay amortised.
      chunk_count = size_ * 2 >= max_load(capacity()) ? chunk_count_ * 2 : chunk_count_;
    }

    Chunk* old_chunks = chunks_;
    const std::size_t old_count = chunk_count_;

    allocate(chunk_count);
    // In a large table every slot moves to a random chunk; the destinations of the next old
    // chunk's slots are loaded while this one's move, so the misses overlap. The slots still move
    // in the same order.
    const bool prefetching = chunk_count * sizeof(Chunk) >= (std::size_t{1} << 20);
    for (std::size_t c = 0; c < old_count; ++c) {
      if (prefetching && c + 1 < old_count) {
        Chunk& next = old_chunks[c + 1];
        for (std::size_t i = 0; i < kChunkSlots; ++i) {
          if (next.ctrl[i] < 0) continue;
          __builtin_prefetch(&chunks_[chunk_of(hash_of(static_cast<const Slot&>(*next.slot(i)))) & chunk_mask_], 1);
        }
      }
      for (std::size_t i = 0; i < kChunkSlots; ++i) {
        if (old_chunks[c].ctrl[i] < 0) continue;
        Slot* slot = old_chunks[c].slot(i);
        const std::uint64_t hash = hash_of(static_cast<const Slot&>(*slot));
        auto [chunk, position] = free_position(hash);
        chunk->ctrl[position] = tag_of(hash);
        ::new (static_cast<void*>(chunk->slot(position))) Slot(std::move(*slot));
        slot->~Slot();
      }
    }
    free_block(old_chunks, old_count * sizeof(Chunk));
  }

  void allocate(std::size_t chunk_count) {
    chunks_ = static_cast<Chunk*>(allocate_random_access_block(chunk_count * sizeof(Chunk)));
    for (std::size_t c = 0; c < chunk_count; ++c) {
      std::memset(chunks_[c].ctrl, static_cast<unsigned char>(hash_table_detail::kEmpty),
                  hash_table_detail::kChunkSlots);
      std::memset(chunks_[c].ctrl + hash_table_detail::kChunkSlots,
                  static_cast<unsigned char>(hash_table_detail::kUnused), 16 - hash_table_detail::kChunkSlots);
    }
    chunk_count_ = chunk_count;
    chunk_mask_ = chunk_count - 1;
    growth_left_ = max_load(capacity()) - size_;
    tombstones_ = 0;
  }

  void destroy() {
    if (!chunks_) return;
    if (!std::is_trivially_destructible_v<Slot>) {
      for_each_mut([](Slot& slot) { slot.~Slot(); });
    }
    free_block(chunks_, chunk_count_ * sizeof(Chunk));
    chunks_ = nullptr;
  }

  void copy_from(const RawHashTable& other) {
    chunks_ = nullptr;
    chunk_count_ = size_ = tombstones_ = growth_left_ = chunk_mask_ = 0;
    if (other.chunk_count_ == 0) return;
    allocate(other.chunk_count_);
    for (std::size_t c = 0; c < chunk_count_; ++c) {
      std::memcpy(chunks_[c].ctrl, other.chunks_[c].ctrl, 16);
      for (std::size_t i = 0; i < hash_table_detail::kChunkSlots; ++i) {
        if (chunks_[c].ctrl[i] >= 0) ::new (static_cast<void*>(chunks_[c].slot(i))) Slot(*other.chunks_[c].slot(i));
      }
    }
    size_ = other.size_;
    tombstones_ = other.tombstones_;
    growth_left_ = other.growth_left_;
  }

  void steal(RawHashTable& other) {
    chunks_ = std::exchange(other.chunks_, nullptr);
    chunk_count_ = std::exchange(other.chunk_count_, 0);
    size_ = std::exchange(other.size_, 0);
    tombstones_ = std::exchange(other.tombstones_, 0);
    growth_left_ = std::exchange(other.growth_left_, 0);
    chunk_mask_ = std::exchange(other.chunk_mask_, 0);
  }

  Chunk* chunks_ = nullptr;
  std::size_t chunk_count_ = 0;
  std::size_t size_ = 0;
  std::size_t tombstones_ = 0;
  std::size_t growth_left_ = 0;
  std::size_t chunk_mask_ = 0;
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
