// Shared helpers for the e-graph engine's tests.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/rewrite.h"
#include "egraph/sexpr.h"
#include "egraph/symbol.h"
#include "support/failure_message.h"
#include "support/internal_failure.h"
#include "support/result.h"

namespace veltrix::egraph::testing {

using veltrix::testing::failure_message;

inline Symbol sym(std::string_view text) { return intern_symbol(text); }

inline TermPattern pattern(std::string_view text) { return expect_ok(TermPattern::parse(text), "test pattern parses"); }

inline Rewrite rule(std::string_view name, std::string_view lhs, std::string_view rhs) {
  return expect_ok(Rewrite::create(name, pattern(lhs), pattern(rhs)), "test rule builds");
}

// Adds a ground term written as an s-expression, e.g. "(f a (g b))"; returns its class.
inline ClassId add_sexpr(EGraph& egraph, const SExpr& sexpr) {
  if (sexpr.kind == SExpr::Kind::String) return egraph.add(SymbolLang(sym(sexpr.text)));
  std::vector<ClassId> children;
  for (std::size_t i = 1; i < sexpr.items.size(); ++i) children.push_back(add_sexpr(egraph, sexpr.items[i]));
  return egraph.add(SymbolLang(sym(sexpr.items.front().text), children));
}

inline ClassId add_term(EGraph& egraph, std::string_view text) {
  return add_sexpr(egraph, expect_ok(read_sexpr(text), "test term reads"));
}

// The ids that adding `term`'s entries one at a time gives: what a bulk add must agree with.
inline std::vector<ClassId> add_entry_by_entry(EGraph& egraph, const FlatTerm<SymbolLang>& term) {
  std::vector<ClassId> ids;
  for (const SymbolLang& entry : term) {
    std::vector<ClassId> children;
    for (ClassId child : entry.children()) children.push_back(ids[child]);
    ids.push_back(egraph.add(SymbolLang(entry.op(), children)));
  }
  return ids;
}

}  // namespace veltrix::egraph::testing
