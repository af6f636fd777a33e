#include "egraph/symbol.h"

#include <cstring>
#include <string>

#include "support/hashing.h"
#include "support/internal_failure.h"

namespace veltrix::egraph {
namespace {

// A shard lock can only be poisoned by a failure under it; later users see a failed unwrap.
constexpr const char* kShardPoisonText = "called `Result::unwrap()` on an `Err` value";

constexpr std::size_t kArenaBlock = 64 * 1024;

}  // namespace

std::string_view SymbolTable::TextArena::store(std::string_view text) {
  if (text.empty()) return {};
  // Texts larger than a quarter block get a block of their own so the shared block is not
  // abandoned half empty.
  if (text.size() > kArenaBlock / 4) {
    blocks_.push_back(std::make_unique<char[]>(text.size()));
    std::memcpy(blocks_.back().get(), text.data(), text.size());
    return {blocks_.back().get(), text.size()};
  }
  if (text.size() > left_) {
    blocks_.push_back(std::make_unique<char[]>(kArenaBlock));
    cursor_ = blocks_.back().get();
    left_ = kArenaBlock;
  }
  std::memcpy(cursor_, text.data(), text.size());
  std::string_view stored(cursor_, text.size());
  cursor_ += text.size();
  left_ -= text.size();
  return stored;
}

SymbolTable::Shard::Shard() : mutex(kShardPoisonText) {}

SymbolTable::SymbolTable(std::uint64_t index_limit)
    : shards_(std::make_unique<Shard[]>(kShardCount)), index_limit_(index_limit) {}

SymbolTable::~SymbolTable() = default;

unsigned SymbolTable::shard_of(std::string_view text) {
  return static_cast<unsigned>(hash_bytes(text.data(), text.size()) & (kShardCount - 1));
}

Symbol SymbolTable::intern(std::string_view text) {
  const std::uint64_t hash = hash_bytes(text.data(), text.size());
  const auto shard_number = static_cast<std::uint32_t>(hash & (kShardCount - 1));
  // Every text of a shard shares the low four bits; the in-shard index uses the rest.
  const std::uint64_t key = hash >> 4;
  Shard& shard = shards_[shard_number];

  std::size_t position;
  {
    auto guard = shard.mutex.lock();
    // The arena stores an empty text with a null pointer, which memcmp must never be given,
    // even for zero bytes; string_view's comparison skips the call when the sizes are zero.
    const IndexSlot* found = shard.index.find(
        key, [&](const IndexSlot& slot) { return slot.hash == key && shard.texts[slot.position] == text; });
    if (found) {
      position = found->position;
    } else {
      position = shard.texts.size();
      shard.texts.push_back(shard.arena.store(text));
      shard.index.insert_absent(key, IndexSlot{key, position}, [](const IndexSlot& slot) { return slot.hash; });
    }
  }

  const std::uint64_t v = static_cast<std::uint64_t>(position) + 1;
  if (v >= index_limit_) internal_failure("Can't represent index " + std::to_string(v) + " in a Symbol");
  return Symbol{static_cast<std::uint32_t>(v) | (shard_number << kShardShift)};
}

std::string_view SymbolTable::resolve(Symbol symbol) {
  Shard& shard = shards_[symbol.value >> kShardShift];
  auto guard = shard.mutex.lock();
  // Symbol 0 of a shard wraps to the largest index and is reported as out of bounds.
  const std::size_t index = static_cast<std::size_t>(symbol.value & kIndexMask) - 1;
  return checked_at(shard.texts, index);
}

SymbolTable& SymbolTable::global() {
  // Never destroyed: symbols may be resolved from other objects' destructors at exit.
  static SymbolTable* const table = new SymbolTable();
  return *table;
}

Symbol intern_symbol(std::string_view text) { return SymbolTable::global().intern(text); }

std::string_view resolve_symbol(Symbol symbol) { return SymbolTable::global().resolve(symbol); }

}  // namespace veltrix::egraph
