// Pattern bodies: reading "(f ?x (g ?y))" into a flat term of operator nodes and variables, and
// compacting it so that identical sub-patterns share one entry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "egraph/flat_term.h"
#include "egraph/sexpr.h"
#include "egraph/symbol_lang.h"
#include "support/result.h"

namespace veltrix::egraph {

// One entry of a pattern body: an operator node whose children are body indices, or a variable.
// A variable is a symbol whose text starts with "?" and has at least one more byte; the "?" is
// part of the interned text.
class PatternNode {
 public:
  explicit PatternNode(SymbolLang enode) : node_(std::move(enode)), is_var_(false) {}
  static PatternNode var(Symbol name) { return PatternNode(SymbolLang(name), true); }

  bool is_var() const { return is_var_; }
  Symbol var() const { return node_.op(); }  // the variable's symbol; meaningful for variables only
  const SymbolLang& enode() const { return node_; }
  std::span<const ClassId> children() const { return node_.children(); }

  std::uint64_t hash() const { return node_.hash() ^ static_cast<std::uint64_t>(is_var_); }
  std::string debug_string() const;

  friend bool operator==(const PatternNode&, const PatternNode&) = default;

 private:
  PatternNode(SymbolLang node, bool is_var) : node_(std::move(node)), is_var_(is_var) {}

  SymbolLang node_;
  bool is_var_;
};

using PatternBody = FlatTerm<PatternNode>;

// Why a pattern node could not be made. Only a variable with children can be refused: the other
// node errors of the reader's vocabulary cannot arise for plain symbols.
struct NodeError {
  enum class Kind { UnexpectedVar };
  Kind kind = Kind::UnexpectedVar;
  std::string text;

  std::string debug_string() const;
  friend bool operator==(const NodeError&, const NodeError&) = default;
};

struct TermParseError {
  enum class Kind {
    EmptySexp,  // the text, or a list in it, is empty
    HeadList,   // a list's first item is itself a list (`list` holds a copy of it)
    BadOp,      // a node could not be made (`node` says why)
    BadSexp,    // the text is not an s-expression (`parse` says where)
  };

  Kind kind = Kind::EmptySexp;
  SExpr list;
  NodeError node;
  ParseError parse;

  std::string debug_string() const;
};

// Trims surrounding whitespace, reads one s-expression and turns it into a pattern body.
Result<PatternBody, TermParseError> parse_pattern(std::string_view text);

// Removes duplicate entries: every entry is rewritten through the old-to-new index map and kept
// only at its first occurrence, so the root stays last and repeated sub-patterns (such as two
// occurrences of "?x") share one entry.
PatternBody compact(const PatternBody& body);

}  // namespace veltrix::egraph
