// SymbolLang: the e-node, an operator symbol over an ordered list of class ids.
//
// E-nodes are the most numerous objects of a run (class lists, memo keys, pattern bodies), so a
// node is 16 bytes: up to two children live inline and only wider nodes allocate. Nodes compare
// and hash by symbol value and child ids only.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>

#include "egraph/symbol.h"
#include "support/hashing.h"
#include "support/siphash.h"

namespace veltrix::egraph {

// Names an e-node (the id it was added under) and an e-class (a union-find root).
using ClassId = std::uint32_t;

// The key of every node hash, drawn at random once per process. Children are class ids that the
// shape of a recorded graph decides, so with fixed constants a crafted graph could pile its nodes
// into one run of the memo; nothing depends on the hash values beyond where a table keeps them.
extern const HashKey kNodeHashKey;

// Hash of a node given as operator and children; SymbolLang::hash() agrees with it, so tables
// keyed by nodes can be probed with children held elsewhere. Two children per multiply-fold.
inline std::uint64_t hash_node(Symbol op, std::span<const ClassId> children) {
  const std::uint64_t kK1 = kNodeHashKey.k0;
  const std::uint64_t kK2 = kNodeHashKey.k1 | 1;  // odd, so no multiplication by it loses bits
  const std::size_t n = children.size();
  std::uint64_t h = fold_multiply(((static_cast<std::uint64_t>(op.value) << 32) | n) ^ kK1, kK2);
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const std::uint64_t word = children[i] | (static_cast<std::uint64_t>(children[i + 1]) << 32);
    h = fold_multiply(h ^ kK1, word ^ kK2);
  }
  if (i < n) h = fold_multiply(h ^ kK1, children[i] ^ kK2);
  return h;
}

class SymbolLang {
 public:
  static constexpr std::size_t kInlineChildren = 2;

  explicit SymbolLang(Symbol op) noexcept : op_(op), arity_(0), heap_(nullptr) {}
  // Inline for the common narrow node; wider ones allocate out of line.
  SymbolLang(Symbol op, std::span<const ClassId> children) : op_(op), arity_(0), heap_(nullptr) {
    if (children.size() > kInlineChildren) {
      init_wide(children);
      return;
    }
    arity_ = static_cast<std::uint32_t>(children.size());
    for (std::size_t i = 0; i < children.size(); ++i) inline_[i] = children[i];
  }
  SymbolLang(Symbol op, std::initializer_list<ClassId> children)
      : SymbolLang(op, std::span<const ClassId>(children.begin(), children.size())) {}

  SymbolLang(const SymbolLang& other);
  // Inline: every node added to an e-graph is moved into its node array.
  SymbolLang(SymbolLang&& other) noexcept : op_(other.op_), arity_(other.arity_) {
    if (other.on_heap()) {
      heap_ = other.heap_;
    } else {
      std::memcpy(inline_, other.inline_, sizeof(inline_));
    }
    other.arity_ = 0;
  }
  SymbolLang& operator=(const SymbolLang& other);
  SymbolLang& operator=(SymbolLang&& other) noexcept;
  ~SymbolLang() {
    if (on_heap()) delete[] heap_;
  }

  Symbol op() const { return op_; }
  std::size_t arity() const { return arity_; }
  bool is_leaf() const { return arity_ == 0; }
  std::span<const ClassId> children() const { return {data(), arity_}; }
  std::span<ClassId> children() { return {data(), arity_}; }

  // Same operator and same number of children; the child ids are not compared.
  bool matches(const SymbolLang& other) const { return op_ == other.op_ && arity_ == other.arity_; }

  std::uint64_t hash() const { return hash_node(op_, children()); }

  // Equality and the order used to sort class node lists: operator value first, then the
  // children lexicographically (a proper prefix first).
  friend bool operator==(const SymbolLang& a, const SymbolLang& b) { return a.equals(b.op_, b.children()); }
  // Inline: normalising a class sorts its nodes with it.
  friend std::strong_ordering operator<=>(const SymbolLang& a, const SymbolLang& b) {
    if (auto by_op = a.op_.value <=> b.op_.value; by_op != 0) return by_op;
    const ClassId* ca = a.data();
    const ClassId* cb = b.data();
    const std::size_t common = a.arity_ < b.arity_ ? a.arity_ : b.arity_;
    for (std::size_t i = 0; i < common; ++i) {
      if (ca[i] != cb[i]) return ca[i] <=> cb[i];
    }
    return a.arity_ <=> b.arity_;
  }

  bool equals(Symbol op, std::span<const ClassId> children) const {
    if (op_ != op || arity_ != children.size()) return false;
    const ClassId* mine = data();
    for (std::size_t i = 0; i < arity_; ++i) {
      if (mine[i] != children[i]) return false;
    }
    return true;
  }

  // "(op c1 c2)" with the operator's text, or the bare operator text for a leaf.
  std::string debug_string() const;

 private:
  bool on_heap() const { return arity_ > kInlineChildren; }
  const ClassId* data() const { return on_heap() ? heap_ : inline_; }
  ClassId* data() { return on_heap() ? heap_ : inline_; }
  void release() noexcept;
  void init_wide(std::span<const ClassId> children);
  void copy_children_from(const SymbolLang& other);

  Symbol op_;
  std::uint32_t arity_;
  union {
    ClassId inline_[kInlineChildren];
    ClassId* heap_;
  };
};

}  // namespace veltrix::egraph
