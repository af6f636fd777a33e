// GraphTerm and TermList: the terms that the reduction pipeline hands to the rewrite engine and
// gets back from it.
//
// A term is one graph node without its inputs: its symbol (term_encoding.h), the positions of
// the terms it consumes (earlier positions of the same list, in input order, repeats kept), and
// whether it is a boundary (every kind but Op; only Ops can be fused into stages). A TermList
// keeps its terms in dense arrays indexed by position, with all children in one shared array,
// so a list of a million terms is a handful of allocations. Symbols are ids into the run's
// SymbolTexts, which the list names but does not own.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "optimizer/symbol_texts.h"
#include "support/memory_blocks.h"

namespace veltrix {

// Position of a term in its list. Tables hold fewer than 2^32 nodes (node_table.h), so 32 bits
// always suffice.
using TermIndex = std::uint32_t;

struct GraphTerm {
  SymbolId symbol;
  std::span<const TermIndex> children;
  bool is_boundary;
};

class TermList {
 public:
  explicit TermList(const SymbolTexts& symbols) : symbols_(&symbols) { child_ends_.push_back(0); }

  std::size_t size() const { return symbols_of_.size(); }
  bool empty() const { return symbols_of_.empty(); }

  GraphTerm operator[](std::size_t i) const { return {symbols_of_[i], children(i), boundary_[i] != 0}; }
  SymbolId symbol(std::size_t i) const { return symbols_of_[i]; }
  std::string_view symbol_text(std::size_t i) const { return symbols_->view(symbols_of_[i]); }
  bool is_boundary(std::size_t i) const { return boundary_[i] != 0; }
  std::span<const TermIndex> children(std::size_t i) const {
    return std::span<const TermIndex>(children_).subspan(child_ends_[i], child_ends_[i + 1] - child_ends_[i]);
  }
  std::size_t child_count() const { return children_.size(); }
  // The children of every term, concatenated, and where each term's run ends: term i's children
  // are all_children()[child_ends()[i] .. child_ends()[i + 1]).
  std::span<const TermIndex> all_children() const { return children_; }
  std::span<const std::uint64_t> child_ends() const { return child_ends_; }

  const SymbolTexts& symbols() const { return *symbols_; }

  void reserve(std::size_t terms, std::size_t children) {
    symbols_of_.reserve(terms);
    boundary_.reserve(terms);
    child_ends_.reserve(terms + 1);
    children_.reserve(children);
  }

  // The first `terms` child ends and `children` children of the room reserve() made, for a
  // reader on another thread while the list is being filled: reserved arrays never move, and the
  // reader is told separately how far they are written.
  std::span<const std::uint64_t> reserved_child_ends(std::size_t terms) const {
    return {child_ends_.data(), terms + 1};
  }
  std::span<const TermIndex> reserved_children(std::size_t children) const { return {children_.data(), children}; }

  // Appends a term whose children are pushed one by one afterwards (push_child), for callers
  // that translate children on the fly. The position of the new term is returned.
  TermIndex begin_term(SymbolId symbol, bool is_boundary) {
    const auto index = static_cast<TermIndex>(symbols_of_.size());
    symbols_of_.push_back(symbol);
    boundary_.push_back(is_boundary ? 1 : 0);
    child_ends_.push_back(children_.size());
    return index;
  }
  void push_child(TermIndex child) {
    children_.push_back(child);
    child_ends_.back() = children_.size();
  }

  TermIndex append(SymbolId symbol, std::span<const TermIndex> children, bool is_boundary) {
    const TermIndex index = begin_term(symbol, is_boundary);
    children_.insert(children_.end(), children.begin(), children.end());
    child_ends_.back() = children_.size();
    return index;
  }

  // Removes the last term (a hash-consing step that found it already present).
  void pop_back() {
    symbols_of_.pop_back();
    boundary_.pop_back();
    child_ends_.pop_back();
    children_.resize(child_ends_.back());
  }

 private:
  const SymbolTexts* symbols_;
  BlockVector<SymbolId> symbols_of_;
  BlockVector<std::uint8_t> boundary_;
  BlockVector<std::uint64_t> child_ends_;  // child_ends_[i + 1] is one past term i's last child
  BlockVector<TermIndex> children_;
};

}  // namespace veltrix
