// Rewrite: a named rule "left-hand pattern => right-hand pattern", searched and applied by the
// saturation runner.
//
// Building a rule from texts:
//   auto lhs = TermPattern::parse("(op|add ?a ?b)");   // Result<TermPattern, TermParseError>
//   auto rhs = TermPattern::parse("(op|add ?b ?a)");
//   auto rule = Rewrite::create("commute-add", lhs.value(), rhs.value());  // Result<Rewrite, RewriteError>
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/pattern.h"
#include "support/result.h"

namespace veltrix::egraph {

// A rule that cannot be built; `message` names the rule and the offending variable.
struct RewriteError {
  std::string message;
  std::string debug_string() const;
};

class Rewrite {
 public:
  // Fails when the right-hand side uses a variable that the left-hand side does not bind.
  static Result<Rewrite, RewriteError> create(std::string_view name, TermPattern searcher, TermPattern applier);

  Symbol name() const { return name_; }
  const TermPattern& searcher() const { return searcher_; }
  const TermPattern& applier() const { return applier_; }

  SearchMatches search(const EGraph& egraph, std::size_t limit) const { return searcher_.search(egraph, limit); }
  std::vector<ClassId> apply(EGraph& egraph, const SearchMatches& matches) const {
    return applier_.apply(egraph, matches);
  }

 private:
  Rewrite(Symbol name, TermPattern searcher, TermPattern applier)
      : name_(name), searcher_(std::move(searcher)), applier_(std::move(applier)) {}

  Symbol name_;
  TermPattern searcher_;
  TermPattern applier_;
};

}  // namespace veltrix::egraph
