// SymbolTexts: the distinct term symbols of one reduction, numbered densely in order of first
// appearance.
//
// Every later step of the pipeline (the rewrite engine's operators, hash-consing, the templates
// of boundary nodes, stage member tokens) refers to a symbol by its 32-bit id, so a symbol's text
// is formatted, hashed and stored once per run however many nodes share it. Texts come from user
// names and params, so the index hashes them with a key drawn for each table.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

#include "store/string_arena.h"
#include "support/hash_table.h"
#include "support/siphash.h"

namespace veltrix {

using SymbolId = std::uint32_t;

class SymbolTexts {
 public:
  SymbolTexts() : key_(random_hash_key()) {}

  // The id of `text`, adding it when it is new; the bool tells whether it was added.
  std::pair<SymbolId, bool> intern(std::string_view text);

  std::string_view text(SymbolId id) const { return texts_.view(id); }
  std::size_t size() const { return texts_.size(); }

 private:
  struct Slot {
    SymbolId id;
    std::uint32_t hash;  // high half of the keyed hash; the position derives from it
  };

  std::uint32_t hash_of(std::string_view text) const;

  StringArena texts_;
  RawHashTable<Slot> index_;
  HashKey key_;
};

}  // namespace veltrix
