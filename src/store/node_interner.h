// NodeInterner: a NodeTable plus the indexes that make every node and every text unique in it.
//
// intern(node) costs one keyed hash of the node and, when an equal node exists, one comparison
// against it: texts are first resolved to their ids (one hash each), so the node hash and the
// comparison work on integers. Both indexes are keyed with a random key per interner, so crafted
// contents cannot force collisions. No locking here: GraphStore and the incremental reducer's
// canonical form guard their interners themselves.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/node_table.h"
#include "store/shared_node_table.h"
#include "support/id_index.h"
#include "support/siphash.h"
#include "support/small_vector.h"
#include "support/text_interner.h"

namespace veltrix {

class NodeInterner {
 public:
  // Ids are 32-bit inside a table (see node_table.h).
  static constexpr std::uint64_t kMaxNodes = UINT32_MAX - 1;

  NodeInterner() : key_(random_hash_key()) {}

  const NodeTable& table() const { return *table_; }
  // The table for a reader that works on it outside the owner's lock (see shared_node_table.h).
  SharedNodeTable share_table() const { return table_.share(); }
  std::size_t size() const { return table_->size(); }

  // The id of the stored node equal to `node`, appending it first when there is none. Every
  // input of `node` must be below size(); callers check and report bad ids themselves.
  template <NodeLike N>
  std::uint32_t intern(const N& node);

  // The id of the stored node equal to `node`, if any.
  template <NodeLike N>
  std::optional<std::uint32_t> find(const N& node) const;

  // A node with its texts replaced by this interner's text ids: `words` is the entry as the table stores it (the id
  // word is filled in when the node is appended).
  struct ResolvedNode {
    // What a member token reads as, in this interner's text ids, from a builder that made the
    // token itself and so knows it without reading the text back. Its texts must be interned
    // already, in the order reading the token would intern them (name, then each key and string
    // value), and it must be exactly what reading the token gives.
    struct KnownShape {
      NodeTable::MemberKind kind;
      StrId name;
      std::span<const std::uint32_t> param_words;  // four per param, as in an entry
    };
    struct Member {
      StrId token;
      std::span<const MemberRef> refs;
      const KnownShape* shape = nullptr;  // null: the token is read when it is new to the table
    };
    NodeKind kind = NodeKind::Source;
    NodeTable::DescriptorRecord descriptor{};
    std::uint32_t param_count = 0;
    std::uint32_t input_count = 0;
    SmallVector<std::uint32_t, 32> words;
    std::vector<Member> members;
  };

  // The same for a node already in resolved form (its texts are this interner's ids; its id word
  // is ignored).
  std::uint32_t intern(const ResolvedNode& node) { return intern_resolved(node, node_hash(node)); }

  // Interning many resolved nodes in a row, with the index probe of a node started ahead of time:
  // hash it (hash_of), prefetch(hash), and later intern(node, hash), where the hash must be
  // hash_of(node) of the node as interned. In a large table the probes' cache misses then overlap.
  void prefetch(std::uint64_t hash) const { node_index_.prefetch(hash); }
  std::uint32_t intern(const ResolvedNode& node, std::uint64_t hash) { return intern_resolved(node, hash); }
  std::optional<std::uint32_t> find(const ResolvedNode& node) const { return find_resolved(node, node_hash(node)); }
  // For callers that look a node up first and then add it: one hash serves both.
  std::uint64_t hash_of(const ResolvedNode& node) const { return node_hash(node); }
  std::optional<std::uint32_t> find(const ResolvedNode& node, std::uint64_t hash) const {
    return find_resolved(node, hash);
  }
  // Appends a node that find() has just reported absent.
  std::uint32_t insert_absent(const ResolvedNode& node, std::uint64_t hash) { return append(node, hash); }

  // Where the interner stands, and a return to it: roll_back(mark()) later removes every node and
  // text added since, from the table and from both indexes, as if they had never been added.
  // For all-or-nothing batches that find a bad node part way.
  struct Mark {
    std::size_t nodes, words, descriptors, stages, members, refs, texts, member_shapes, member_param_words;
  };
  Mark mark() const;
  void roll_back(const Mark& mark);

  // The id of a text, adding it when it is new.
  StrId intern_text(std::string_view text);
  // Whether a member token has been read into a shape (it has, once a Stage holding it is stored).
  bool has_member_shape(StrId token) const {
    return token < table_->token_shapes_.size() && table_->token_shapes_[token] != NodeTable::kNoShape;
  }

  // Makes room for `nodes` more nodes of `words` table words in all, `stages` of them Stages with
  // `members` members and `refs` member references in all, so that interning them grows no
  // array (no copy, no second set of fresh pages) and never rehashes the node index (a
  // reduction knows bounds of its result's sizes).
  void reserve(std::size_t nodes, std::size_t words, std::size_t stages = 0, std::size_t members = 0,
               std::size_t refs = 0);

  std::size_t memory_bytes() const {
    return table_->memory_bytes() + node_index_.memory_bytes() + text_index_.memory_bytes();
  }

 private:
  // Recently resolved texts, keyed by the address of the caller's bytes. Recording passes the
  // same few name and key objects over and over; when the address and the bytes match a cached
  // entry, the text's id is known without hashing it. The cached address is only ever compared,
  // never read through, so an entry whose source text has gone away is harmless. An unused slot
  // holds no id at all: an empty text may come with a null address, and must not match it.
  //
  // The cache is made on the first text and grows with the number of distinct texts, so a
  // store that is never recorded into, or holds a handful of names, stays small.
  struct RecentText {
    const char* data = nullptr;
    std::size_t size = 0;
    StrId id = kNoString;
  };
  static constexpr unsigned kMinRecentTextBits = 4;
  static constexpr unsigned kMaxRecentTextBits = 9;
  RecentText* recent_slot(std::string_view text) const {
    const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(text.data()));
    return &recent_[(address * 0x9E3779B97F4A7C15ULL) >> (64 - recent_bits_)];
  }
  void remember_text(std::string_view text, StrId id) const;
  void grow_recent_texts() const;
  std::optional<StrId> recent_text(std::string_view text) const;

  template <NodeLike N>
  bool resolve(const N& node, ResolvedNode& out, bool add_texts);
  template <NodeLike N>
  bool resolve(const N& node, ResolvedNode& out) const;  // lookup only; false if a text is unknown

  std::optional<StrId> find_text(std::string_view text) const;

  std::uint64_t node_hash(const ResolvedNode& node) const;
  std::uint64_t stored_node_hash(std::uint32_t id) const;
  bool equals(const std::uint32_t* stored, const ResolvedNode& node) const;
  std::optional<std::uint32_t> find_resolved(const ResolvedNode& node, std::uint64_t hash) const;
  std::uint32_t append(const ResolvedNode& node, std::uint64_t hash);
  // Reads a member token into its shape the first time the table holds it, or takes the shape
  // the builder knows.
  void read_member_token(StrId token, const ResolvedNode::KnownShape* known);
  std::uint32_t intern_resolved(const ResolvedNode& node, std::uint64_t hash) {
    if (auto id = find_resolved(node, hash)) return *id;
    return append(node, hash);
  }

  SharedNodeTable table_;
  std::string token_scratch_;  // a member token being read (see read_member_token)
  IdIndex node_index_;         // a node's id is its entry's word offset there, so a probe reads the entry at once
  TextIndex text_index_;
  mutable std::unique_ptr<RecentText[]> recent_;
  mutable unsigned recent_bits_ = 0;  // log2 of the cache's slot count; 0 before the first text
  HashKey key_;
};

}  // namespace veltrix

#include "store/node_interner.inl"
