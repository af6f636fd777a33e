#include "egraph/rewrite.h"

#include <algorithm>

#include "support/unicode.h"

namespace veltrix::egraph {

std::string RewriteError::debug_string() const { return quoted(message); }

Result<Rewrite, RewriteError> Rewrite::create(std::string_view name, TermPattern searcher, TermPattern applier) {
  const std::span<const Symbol> bound = searcher.variables();
  for (Symbol var : applier.variables()) {
    if (std::find(bound.begin(), bound.end(), var) == bound.end()) {
      return make_err(
          RewriteError{"Rewrite " + std::string(name) + " refers to unbound var " + std::string(resolve_symbol(var))});
    }
  }
  return Rewrite(intern_symbol(name), std::move(searcher), std::move(applier));
}

}  // namespace veltrix::egraph
