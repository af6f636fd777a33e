#include "egraph/pattern.h"

#include <algorithm>

#include "egraph/log.h"
#include "support/internal_failure.h"

namespace veltrix::egraph {
namespace {

std::string entry_text(const PatternBody& body, std::size_t e) {
  const PatternNode& entry = body[e];
  if (entry.is_var() || entry.enode().is_leaf()) return std::string(resolve_symbol(entry.enode().op()));
  std::string out = "(";
  out += resolve_symbol(entry.enode().op());
  for (ClassId child : entry.children()) {
    out += ' ';
    out += entry_text(body, child);
  }
  return out + ")";
}

}  // namespace

std::optional<ClassId> SearchMatches::lookup(std::size_t c, std::size_t b, Symbol var) const {
  const std::span<const ClassId> row = binding(c, b);
  for (std::size_t v = 0; v < variables_.size(); ++v) {
    if (variables_[v] == var) return row[v];
  }
  return std::nullopt;
}

TermPattern::TermPattern(const PatternBody& body) : body_(compact(body)), program_(compile(body_)) {
  for (const PatternNode& entry : body_) {
    if (entry.is_var() && std::find(variables_.begin(), variables_.end(), entry.var()) == variables_.end()) {
      variables_.push_back(entry.var());
    }
  }
  single_bind_ = program_.instructions.size() == 1 && std::holds_alternative<Bind>(program_.instructions[0]);
  if (log_enabled(LogLevel::Debug)) {
    write_log(LogLevel::Debug, "Compiled " + debug_string() + " to " + program_.debug_string());
  }
}

std::optional<Signature> TermPattern::root_signature() const {
  const PatternNode& root = body_.root();
  if (root.is_var()) return std::nullopt;
  return Signature{root.enode().op(), static_cast<std::uint32_t>(root.enode().arity())};
}

std::optional<std::size_t> TermPattern::known_match_count(const EGraph& egraph) const {
  if (!single_bind_ || !egraph.is_clean()) return std::nullopt;
  const Bind& bind = std::get<Bind>(program_.instructions[0]);
  return egraph.tracked_node_count(bind.op, bind.arity);
}

SearchMatches TermPattern::search_single_bind(const EGraph& egraph, std::size_t limit) const {
  const Bind& bind = std::get<Bind>(program_.instructions[0]);
  std::vector<Symbol> order;
  SmallVector<std::uint32_t, 4> columns;  // per binding value: which child of the node
  for (const auto& [var, reg] : program_.subst) {
    order.push_back(var);
    columns.push_back(reg - bind.out);
  }
  SearchMatches matches(std::move(order));
  const std::span<const ClassId> candidates = egraph.classes_with(bind.op, bind.arity);
  if (candidates.empty() || limit == 0) return matches;
  if (!egraph.is_clean()) internal_failure("Tried to search a dirty e-graph!");
  std::vector<ClassId>& values = matches.values();
  if (const std::optional<std::size_t> count = egraph.tracked_node_count(bind.op, bind.arity)) {
    values.reserve(std::min(*count, limit) * columns.size());
  }
  // Every candidate may match, and a large result grown by doubling would copy itself and fault
  // in fresh pages at every step.
  matches.reserve_classes(std::min(candidates.size(), limit));
  std::size_t remaining = limit;
  constexpr std::size_t kLookahead = 8;
  for (std::size_t at = 0; at < candidates.size(); ++at) {
    const ClassId eclass = candidates[at];
    // Three steps ahead, each reading what the one before loaded: the class's records, its list
    // block, the nodes listed there.
    if (at + 3 * kLookahead < candidates.size()) egraph.prefetch_class(candidates[at + 3 * kLookahead]);
    if (at + 2 * kLookahead < candidates.size()) egraph.prefetch_class_list(candidates[at + 2 * kLookahead]);
    if (at + kLookahead < candidates.size()) egraph.prefetch_class_members(candidates[at + kLookahead]);
    std::size_t found = 0;
    // A clean class lists its nodes sorted by operator first, so the walk can stop early.
    for (const SymbolLang& node : egraph.class_nodes(eclass)) {
      if (node.op().value > bind.op.value) break;
      if (node.op() != bind.op || node.arity() != bind.arity) continue;
      const std::span<const ClassId> children = node.children();
      for (std::uint32_t column : columns) values.push_back(children[column]);
      if (++found == remaining) break;
    }
    if (found == 0) continue;
    matches.close_class(eclass, found);
    remaining -= found;
    if (remaining == 0) break;
  }
  return matches;
}

Result<TermPattern, TermParseError> TermPattern::parse(std::string_view text) {
  Result<PatternBody, TermParseError> body = parse_pattern(text);
  if (!body.ok()) return make_err(std::move(body).error());
  return TermPattern(body.value());
}

std::string TermPattern::debug_string() const { return entry_text(body_, body_.size() - 1); }

SearchMatches TermPattern::search(const EGraph& egraph, std::size_t limit) const {
  // The machine writes a trace line per class; the shortcut would skip them.
  if (single_bind_ && !log_enabled(LogLevel::Trace)) return search_single_bind(egraph, limit);
  std::vector<Symbol> order;
  order.reserve(program_.subst.size());
  for (const auto& [var, reg] : program_.subst) order.push_back(var);
  SearchMatches matches(std::move(order));
  Machine machine;
  std::size_t remaining = limit;
  const auto search_in = [&](ClassId eclass) {
    const std::size_t found = machine.run(program_, egraph, eclass, remaining, matches.values());
    if (found == 0) return;
    if (found > remaining) internal_failure("assertion failed: len <= limit");
    matches.close_class(eclass, found);
    remaining -= found;
  };

  const PatternNode& root = body_.root();
  if (root.is_var()) {
    // Every class matches a lone variable; ids are walked in ascending order.
    const std::size_t ids = egraph.id_count();
    for (std::size_t id = 0; id < ids && remaining > 0; ++id) {
      const auto eclass = static_cast<ClassId>(id);
      if (egraph.find(eclass) == eclass) search_in(eclass);
    }
  } else {
    // Only classes holding a node with the root's operator and arity can match.
    for (ClassId eclass : egraph.classes_with(root.enode().op(), root.enode().arity())) {
      if (remaining == 0) break;
      search_in(eclass);
    }
  }
  return matches;
}

SearchMatches TermPattern::search_class(const EGraph& egraph, ClassId eclass, std::size_t limit) const {
  std::vector<Symbol> order;
  for (const auto& [var, reg] : program_.subst) order.push_back(var);
  SearchMatches matches(std::move(order));
  Machine machine;
  const std::size_t found = machine.run(program_, egraph, eclass, limit, matches.values());
  if (found != 0) matches.close_class(eclass, found);
  return matches;
}

std::vector<ClassId> TermPattern::apply(EGraph& egraph, const SearchMatches& matches) const {
  std::vector<ClassId> changed;
  if (matches.total_bindings() == 0) return changed;

  // Where each variable entry of this body finds its class within a binding row.
  const std::size_t n = body_.size();
  std::vector<std::size_t> column(n, 0);
  const std::span<const Symbol> bound = matches.variables();
  for (std::size_t e = 0; e < n; ++e) {
    if (!body_[e].is_var()) continue;
    const auto at = std::find(bound.begin(), bound.end(), body_[e].var());
    if (at == bound.end()) {
      internal_failure("Var '" + std::string(resolve_symbol(body_[e].var())) + "' is not bound by the match");
    }
    column[e] = static_cast<std::size_t>(at - bound.begin());
  }

  // When the root's children are all variables, the instance a binding adds is known from the
  // binding alone, so the loop can start loading what adding it touches a few bindings ahead:
  // the memo chunk, and, when instances tend to exist already, the node found there and its
  // class. That pays only while instances are not the ones their class holds already, which are
  // recognised from the class's own list.
  constexpr std::size_t kLookahead = 8;
  const PatternNode& root = body_.root();
  SmallVector<std::size_t, 4> root_columns;
  bool flat_root = !root.is_var();
  if (flat_root) {
    for (ClassId child : root.children()) {
      if (!body_[child].is_var()) flat_root = false;
      root_columns.push_back(column[child]);
    }
  }
  bool expect_new = true;
  bool expect_existing = false;  // the last instance added was in the e-graph already
  const std::size_t total = matches.total_bindings();

  const bool tracing = log_enabled(LogLevel::Trace);
  // With every other entry a variable, the root's children come straight from the binding row;
  // the general walk over the body (kept for tracing, which logs each entry) is then skipped.
  bool root_only = flat_root && !tracing;
  for (std::size_t e = 0; e + 1 < n; ++e) root_only = root_only && body_[e].is_var();
  std::vector<ClassId> ids(n);
  SmallVector<ClassId, 4> children;
  SmallVector<ClassId, 4> ahead;
  std::size_t r = 0;
  for (std::size_t c = 0; c < matches.class_count(); ++c) {
    const ClassId eclass = matches.eclass(c);
    for (std::size_t b = 0; b < matches.binding_count(c); ++b, ++r) {
      if (b == 0) {
        // As in search: the class's records, its list block, then the nodes listed there.
        const std::size_t classes = matches.class_count();
        if (c + 3 * kLookahead < classes) egraph.prefetch_class(matches.eclass(c + 3 * kLookahead));
        if (c + 2 * kLookahead < classes) egraph.prefetch_class_list(matches.eclass(c + 2 * kLookahead));
        if (c + kLookahead < classes) egraph.prefetch_class_members(matches.eclass(c + kLookahead));
      }
      if (flat_root && expect_new) {
        if (r + 2 * kLookahead < total) {
          const std::span<const ClassId> later = matches.row(r + 2 * kLookahead);
          ahead.clear();
          for (std::size_t col : root_columns) ahead.push_back(later[col]);
          egraph.prefetch_add(root.enode().op(), ahead.span());
        }
        if (expect_existing && r + kLookahead < total) {
          const std::span<const ClassId> later = matches.row(r + kLookahead);
          ahead.clear();
          for (std::size_t col : root_columns) ahead.push_back(later[col]);
          egraph.prefetch_existing(root.enode().op(), ahead.span());
        }
      }
      const std::span<const ClassId> row = matches.row(r);
      if (root_only) {
        children.clear();
        for (std::size_t col : root_columns) children.push_back(egraph.find(row[col]));
        ClassId instance;
        if (const std::optional<ClassId> held = egraph.held_by_class(eclass, root.enode().op(), children.span())) {
          instance = *held;
          expect_new = false;
        } else {
          expect_new = true;
          const std::size_t before = egraph.id_count();
          instance = egraph.add(root.enode().op(), children.span());
          expect_existing = egraph.id_count() == before;
        }
        if (egraph.merge(instance, eclass)) changed.push_back(instance);
        continue;
      }
      for (std::size_t e = 0; e < n; ++e) {
        const PatternNode& entry = body_[e];
        if (entry.is_var()) {
          ids[e] = row[column[e]];
          continue;
        }
        children.clear();
        for (ClassId child : entry.children()) children.push_back(egraph.find(ids[child]));
        // A rule often re-derives a node its class already holds (commutativity does, for every
        // node it added before); recognising that from the class's own short list saves a memo
        // probe and gives the id add() would return.
        if (e == n - 1) {
          if (const std::optional<ClassId> held = egraph.held_by_class(eclass, entry.enode().op(), children.span())) {
            ids[e] = *held;
            expect_new = false;
            continue;
          }
          expect_new = true;
        }
        if (tracing) write_log(LogLevel::Trace, "adding: " + SymbolLang(entry.enode().op(), children.span()).debug_string());
        const std::size_t before = egraph.id_count();
        ids[e] = egraph.add(entry.enode().op(), children.span());
        if (e == n - 1) expect_existing = egraph.id_count() == before;
      }
      const ClassId instance = ids[n - 1];
      if (tracing) write_log(LogLevel::Trace, "apply_rec " + debug_string() + " => " + std::to_string(instance));
      if (egraph.merge(instance, eclass)) changed.push_back(instance);
    }
  }
  return changed;
}

}  // namespace veltrix::egraph
