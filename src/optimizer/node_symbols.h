// NodeSymbols: the term symbol id of every node of one table, each distinct symbol formatted
// once.
//
// Nodes that share a name and params (a traced program records the same op over and over) share
// a symbol. Inside one table a node's name, keys and string values are text ids, so the shape
// that decides a symbol is a short run of words: the kind and param count, the name id and, per
// param, the key id, the value's tag and bits. Shapes are looked up first; a symbol is formatted
// and interned only for a shape not seen before. A node without params (the most common kind of
// op) needs no hashing at all: its symbol is found by its kind and name id in a dense array.
// External and Stage nodes, which are rare and whose symbols carry descriptors and members, are
// formatted every time.
//
// In a large table the node that first had a shape is far from the nodes that repeat it, so
// comparing a node with that node would cost a cache miss or two per lookup. Each shape keeps its
// own copy of its words instead, beside the other shapes' copies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "optimizer/symbol_texts.h"
#include "store/node_table.h"
#include "support/id_index.h"
#include "support/siphash.h"

namespace veltrix {

class NodeSymbols {
 public:
  NodeSymbols(const NodeTable& table, SymbolTexts& texts) : table_(table), texts_(texts), key_(random_hash_key()) {}
  NodeSymbols(const NodeSymbols&) = delete;
  NodeSymbols& operator=(const NodeSymbols&) = delete;

  SymbolId symbol_of(NodeId id);

 private:
  struct Shape {
    std::size_t first_word;  // into shape_words_
    std::uint32_t word_count;
    SymbolId symbol;
  };

  // A node's shape as words: the kind and param count, the name id (0 for kinds without a name),
  // then the param words as stored. Only nodes with params are looked up by shape.
  std::uint64_t shape_hash(const NodeView& node) const;
  bool same_shape(const Shape& shape, const NodeView& node) const;
  SymbolId format_and_intern(const NodeView& node);
  SymbolId symbol_of_shape(const NodeView& node, std::uint64_t hash);

  static constexpr SymbolId kUnknown = UINT32_MAX;

  const NodeTable& table_;
  SymbolTexts& texts_;
  // Symbols of nodes without params, by kind (Source, Op, Reduction) and name id; allocated on
  // first use, and never larger than the table's text count.
  std::vector<SymbolId> plain_[3];
  SymbolId plain_exchange_ = kUnknown;
  std::vector<Shape> shapes_;
  std::vector<std::uint32_t> shape_words_;
  IdIndex shape_index_;  // into shapes_
  std::string scratch_;
  HashKey key_;
};

}  // namespace veltrix
