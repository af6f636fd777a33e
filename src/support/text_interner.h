// Interning texts: distinct texts numbered densely in order of first appearance. TextIndex is
// the index over a StringArena that someone else owns (a node table's texts, which snapshots
// copy without their index); TextInterner owns its arena (the term symbols of a reduction).
//
// Texts come from users, so the index hashes them with SipHash under a key drawn per index:
// nobody can prepare texts that collide without knowing it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "support/id_index.h"
#include "support/siphash.h"
#include "support/string_arena.h"

namespace veltrix {

class TextIndex {
 public:
  TextIndex() : key_(random_hash_key()) {}

  // The id of `text` in `texts`, appending it there when it is new; the bool tells whether it was
  // added. `texts` must be the arena every earlier call was given.
  std::pair<StrId, bool> intern(StringArena& texts, std::string_view text);
  std::optional<StrId> find(const StringArena& texts, std::string_view text) const;
  // Drops the texts from `count` on, from the arena and the index.
  void truncate(StringArena& texts, std::size_t count);

  std::size_t memory_bytes() const { return index_.memory_bytes(); }

 private:
  std::uint64_t hash_of(std::string_view text) const;

  IdIndex index_;
  HashKey key_;
};

class TextInterner {
 public:
  std::pair<StrId, bool> intern(std::string_view text) { return index_.intern(texts_, text); }
  std::optional<StrId> find(std::string_view text) const { return index_.find(texts_, text); }
  std::string_view view(StrId id) const { return texts_.view(id); }
  std::size_t size() const { return texts_.size(); }

 private:
  StringArena texts_;
  TextIndex index_;
};

}  // namespace veltrix
