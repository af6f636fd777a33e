// Interned names: the process-wide symbol table and the 32-bit Symbol handle.
//
// Operator and variable names are interned once and compared as integers from then on, so
// e-nodes hash and compare without touching text. The table has 16 shards, each behind its own
// mutex, so concurrent interning from free-threaded callers contends only within a shard. Texts
// are copied once into storage that lives as long as the table (for the process-wide table: until
// the process ends), so a resolved text may be used after the lock is released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "support/hash_table.h"
#include "support/poisonable_mutex.h"

namespace veltrix::egraph {

// Handle of an interned text. Bits 28-31 hold the shard, bits 0-27 the text's position in that
// shard plus one, so a valid symbol is never 0. Ordering is by value, not alphabetical.
struct Symbol {
  std::uint32_t value = 0;

  friend constexpr bool operator==(Symbol, Symbol) = default;
  friend constexpr auto operator<=>(Symbol, Symbol) = default;
};

class SymbolTable {
 public:
  static constexpr unsigned kShardCount = 16;
  static constexpr unsigned kShardShift = 28;
  static constexpr std::uint32_t kIndexMask = 0x0FFFFFFF;
  // The first position value (position + 1) that no longer fits beside the shard bits.
  static constexpr std::uint64_t kIndexLimit = 0x0FFFFFFF;

  // `index_limit` lowers the per-shard capacity; only tests use anything but the default.
  explicit SymbolTable(std::uint64_t index_limit = kIndexLimit);
  SymbolTable(const SymbolTable&) = delete;
  SymbolTable& operator=(const SymbolTable&) = delete;
  ~SymbolTable();

  // Returns the symbol of `text`, adding the text first when it is new. Fails (internal failure)
  // when the shard's position no longer fits in a symbol; the text stays interned regardless.
  Symbol intern(std::string_view text);

  // The text of a symbol this table produced.
  std::string_view resolve(Symbol symbol);

  // The shard a text belongs to: the low four bits of its byte hash.
  static unsigned shard_of(std::string_view text);

  // The process-wide table, created on first use and never destroyed.
  static SymbolTable& global();

 private:
  struct IndexSlot {
    std::uint64_t hash;
    std::size_t position;
  };

  // Permanent copies of the texts: large chunks that are never moved or freed before the table.
  class TextArena {
   public:
    std::string_view store(std::string_view text);

   private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* cursor_ = nullptr;
    std::size_t left_ = 0;
  };

  struct Shard {
    Shard();
    PoisonableMutex mutex;
    std::vector<std::string_view> texts;
    RawHashTable<IndexSlot> index;
    TextArena arena;
  };

  std::unique_ptr<Shard[]> shards_;
  std::uint64_t index_limit_;
};

// The process-wide table's intern and resolve.
Symbol intern_symbol(std::string_view text);
std::string_view resolve_symbol(Symbol symbol);

}  // namespace veltrix::egraph
