// The s-expression reader that turns pattern texts such as "(op|add ?a ?b)" into a tree.
//
// The reader is deliberately small: atoms, double-quoted strings and parenthesised lists. Atoms
// end only at a line break, a space or a parenthesis, so operator names may contain "|", ";",
// "=", digits and even tabs. Exactly one expression is read; text after it is ignored. Errors
// carry a 1-based line and a column counted in code points.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace veltrix::egraph {

// The deepest nesting of lists a text may have. Lists nest by recursion in the reader and in
// every later walk of the tree (pattern building, debug forms, copies, destruction), so without a
// bound a short text of parentheses would overflow the stack. Patterns nest a few levels; this
// keeps every walk far from the stack limit, even in instrumented builds.
inline constexpr std::size_t kMaxSexprDepth = 1000;

struct SExpr {
  enum class Kind { String, List, Empty };

  Kind kind = Kind::Empty;
  std::string text;          // String: the atom or the quoted text without its quotes
  std::vector<SExpr> items;  // List

  static SExpr string(std::string text) { return SExpr{Kind::String, std::move(text), {}}; }
  static SExpr list(std::vector<SExpr> items) { return SExpr{Kind::List, {}, std::move(items)}; }
  static SExpr empty() { return SExpr{}; }

  std::string debug_string() const;

  friend bool operator==(const SExpr&, const SExpr&) = default;
};

struct ParseError {
  std::string msg;
  std::size_t line = 0;  // 1-based
  std::size_t col = 0;   // 1-based, in code points

  std::string debug_string() const;

  friend bool operator==(const ParseError&, const ParseError&) = default;
};

// Reads one expression from UTF-8 text; an empty text reads as Empty.
Result<SExpr, ParseError> read_sexpr(std::string_view text);

}  // namespace veltrix::egraph
