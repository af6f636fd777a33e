#include "egraph/pattern.h"

#include <algorithm>

#include "egraph/log.h"
#include "support/internal_failure.h"
#include "support/thread_pool.h"

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

std::vector<Symbol> TermPattern::binding_order() const {
  std::vector<Symbol> order;
  order.reserve(program_.subst.size());
  for (const auto& [var, reg] : program_.subst) order.push_back(var);
  return order;
}

std::size_t SearchMatches::append(const SearchMatches& part, std::size_t limit) {
  std::size_t taken = 0;
  for (std::size_t c = 0; c < part.class_count() && taken < limit; ++c) {
    const std::size_t found = std::min(part.binding_count(c), limit - taken);
    close_class(part.eclass(c), found);
    taken += found;
  }
  const std::size_t width = variables_.size();
  values_.insert(values_.end(), part.values_.begin(),
                 part.values_.begin() + static_cast<std::ptrdiff_t>(taken * width));
  return taken;
}

namespace {

// Candidate classes per chunk of a search on the pool.
constexpr std::size_t kSearchGrain = 8192;

// Searches `candidates` in order for at most `limit` bindings through
// search_run(classes, limit, into), which appends the matches of a run of classes to `into`.
// Searching only reads the e-graph, so many candidates are searched on the pool in fixed chunks,
// each into matches of its own, which are then appended in chunk order up to the limit: the
// result is exactly the one a single run over all candidates gives.
template <class SearchRun>
void search_candidates(std::span<const ClassId> candidates, std::size_t limit, SearchMatches& matches,
                       SearchRun&& search_run) {
  const std::size_t grain = chunk_grain(kSearchGrain);
  if (candidates.size() <= grain || !parallel_step(candidates.size())) {
    search_run(candidates, limit, matches);
    return;
  }
  const std::vector<Symbol> variables(matches.variables().begin(), matches.variables().end());
  std::vector<SearchMatches> parts((candidates.size() + grain - 1) / grain, SearchMatches(variables));
  parallel_for(candidates.size(), grain, [&](std::size_t begin, std::size_t end) {
    search_run(candidates.subspan(begin, end - begin), limit, parts[begin / grain]);
  });
  std::size_t bindings = 0;
  std::size_t classes = 0;
  for (const SearchMatches& part : parts) {
    bindings += part.total_bindings();
    classes += part.class_count();
  }
  matches.reserve_classes(classes);
  matches.values().reserve(std::min(bindings, limit) * variables.size());
  std::size_t remaining = limit;
  for (const SearchMatches& part : parts) {
    if (remaining == 0) break;
    remaining -= matches.append(part, remaining);
  }
}

}  // namespace

SearchMatches TermPattern::search_single_bind(const EGraph& egraph, std::size_t limit) const {
  const Bind& bind = std::get<Bind>(program_.instructions[0]);
  SmallVector<std::uint32_t, 4> columns;  // per binding value: which child of the node
  for (const auto& [var, reg] : program_.subst) columns.push_back(reg - bind.out);
  SearchMatches matches(binding_order());
  const std::span<const ClassId> candidates = egraph.classes_with(bind.op, bind.arity);
  if (candidates.empty() || limit == 0) return matches;
  if (!egraph.is_clean()) internal_failure("Tried to search a dirty e-graph!");
  if (const std::optional<std::size_t> count = egraph.tracked_node_count(bind.op, bind.arity)) {
    matches.values().reserve(std::min(*count, limit) * columns.size());
  }
  // Every candidate may match, and a large result grown by doubling would copy itself and fault
  // in fresh pages at every step.
  matches.reserve_classes(std::min(candidates.size(), limit));
  const auto search_run = [&](std::span<const ClassId> classes, std::size_t run_limit, SearchMatches& into) {
    std::vector<ClassId>& values = into.values();
    std::size_t remaining = run_limit;
    for (std::size_t at = 0; at < classes.size(); ++at) {
      const ClassId eclass = classes[at];
      egraph.prefetch_ahead(classes, at);
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
      into.close_class(eclass, found);
      remaining -= found;
      if (remaining == 0) break;
    }
  };
  search_candidates(candidates, limit, matches, search_run);
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
  const bool tracing = log_enabled(LogLevel::Trace);
  if (single_bind_ && !tracing) return search_single_bind(egraph, limit);
  SearchMatches matches(binding_order());
  // One machine per run of classes: it holds the registers of the class being matched.
  const auto search_run = [&](std::span<const ClassId> classes, std::size_t run_limit, SearchMatches& into) {
    Machine machine;
    std::size_t remaining = run_limit;
    for (ClassId eclass : classes) {
      if (remaining == 0) break;
      const std::size_t found = machine.run(program_, egraph, eclass, remaining, into.values());
      if (found == 0) continue;
      if (found > remaining) internal_failure("assertion failed: len <= limit");
      into.close_class(eclass, found);
      remaining -= found;
    }
  };

  const PatternNode& root = body_.root();
  if (root.is_var()) {
    // Every class matches a lone variable; ids are walked in ascending order.
    std::vector<ClassId> roots;
    egraph.for_each_class([&](ClassId eclass) { roots.push_back(eclass); });
    search_run(roots, limit, matches);
  } else {
    // Only classes holding a node with the root's operator and arity can match. Trace lines
    // stay in order on one thread.
    const std::span<const ClassId> candidates = egraph.classes_with(root.enode().op(), root.enode().arity());
    if (tracing) {
      search_run(candidates, limit, matches);
    } else {
      search_candidates(candidates, limit, matches, search_run);
    }
  }
  return matches;
}

SearchMatches TermPattern::search_class(const EGraph& egraph, ClassId eclass, std::size_t limit) const {
  SearchMatches matches(binding_order());
  Machine machine;
  const std::size_t found = machine.run(program_, egraph, eclass, limit, matches.values());
  if (found != 0) matches.close_class(eclass, found);
  return matches;
}

// When the root's children are all variables, the instance a binding adds is known from the
// binding alone, so applying can start loading what adding it touches a few bindings ahead: the
// memo chunk, and, when instances tend to exist already, the node found there and its class.
// That pays only while instances are not the ones their class holds already, which are
// recognised from the class's own list; the last instance tells which case the next is likely in.
class InstanceLookahead {
 public:
  static constexpr std::size_t kDistance = 8;

  InstanceLookahead(const EGraph& egraph, const SearchMatches& matches, Symbol op,
                    std::optional<SmallVector<std::size_t, 4>> root_columns)
      : egraph_(egraph), matches_(matches), op_(op), root_columns_(std::move(root_columns)) {}

  // Before binding r is applied.
  void load_ahead(std::size_t r) {
    if (!root_columns_ || !expect_new_) return;
    const std::size_t total = matches_.total_bindings();
    if (r + 2 * kDistance < total) egraph_.prefetch_add(op_, root_children(r + 2 * kDistance));
    if (expect_existing_ && r + kDistance < total) egraph_.prefetch_existing(op_, root_children(r + kDistance));
  }
  // After: whether the instance was found in its class's list, and, if not, whether adding it
  // found it in the e-graph.
  void held() { expect_new_ = false; }
  void added(bool existed) {
    expect_new_ = true;
    expect_existing_ = existed;
  }

 private:
  std::span<const ClassId> root_children(std::size_t r) {
    const std::span<const ClassId> row = matches_.row(r);
    children_.clear();
    for (std::size_t col : *root_columns_) children_.push_back(row[col]);
    return children_.span();
  }

  const EGraph& egraph_;
  const SearchMatches& matches_;
  Symbol op_;
  std::optional<SmallVector<std::size_t, 4>> root_columns_;
  SmallVector<ClassId, 4> children_;
  bool expect_new_ = true;
  bool expect_existing_ = false;  // the last instance added was in the e-graph already
};

std::vector<std::size_t> TermPattern::binding_columns(const SearchMatches& matches) const {
  std::vector<std::size_t> column(body_.size(), 0);
  const std::span<const Symbol> bound = matches.variables();
  for (std::size_t e = 0; e < body_.size(); ++e) {
    if (!body_[e].is_var()) continue;
    const auto at = std::find(bound.begin(), bound.end(), body_[e].var());
    if (at == bound.end()) {
      internal_failure("Var '" + std::string(resolve_symbol(body_[e].var())) + "' is not bound by the match");
    }
    column[e] = static_cast<std::size_t>(at - bound.begin());
  }
  return column;
}

std::optional<SmallVector<std::size_t, 4>> TermPattern::flat_root_columns(std::span<const std::size_t> column) const {
  const PatternNode& root = body_.root();
  if (root.is_var()) return std::nullopt;
  SmallVector<std::size_t, 4> columns;
  for (ClassId child : root.children()) {
    if (!body_[child].is_var()) return std::nullopt;
    columns.push_back(column[child]);
  }
  return columns;
}

// A rule often re-derives a node its class already holds (commutativity does, for every node it
// added before); recognising that from the class's own short list saves a memo probe and gives
// the id add() would return.
ClassId TermPattern::root_instance(EGraph& egraph, ClassId eclass, std::span<const ClassId> children, bool tracing,
                                   InstanceLookahead& ahead) const {
  const Symbol op = body_.root().enode().op();
  if (const std::optional<ClassId> held = egraph.held_by_class(eclass, op, children)) {
    ahead.held();
    return *held;
  }
  if (tracing) write_log(LogLevel::Trace, "adding: " + SymbolLang(op, children).debug_string());
  const std::size_t before = egraph.id_count();
  const ClassId instance = egraph.add(op, children);
  ahead.added(egraph.id_count() == before);
  return instance;
}

ClassId TermPattern::instantiate_root(EGraph& egraph, ClassId eclass, std::span<const ClassId> row,
                                      std::span<const std::size_t> root_columns, InstanceLookahead& ahead) const {
  SmallVector<ClassId, 4> children;
  for (std::size_t col : root_columns) children.push_back(egraph.find(row[col]));
  return root_instance(egraph, eclass, children.span(), false, ahead);
}

// The general walk: every entry of the body in order, variables from the binding row, nodes added
// over their children's classes (logging each when tracing).
ClassId TermPattern::instantiate(EGraph& egraph, ClassId eclass, std::span<const ClassId> row,
                                 std::span<const std::size_t> column, std::vector<ClassId>& ids,
                                 InstanceLookahead& ahead) const {
  const std::size_t n = body_.size();
  const bool tracing = log_enabled(LogLevel::Trace);
  SmallVector<ClassId, 4> children;
  for (std::size_t e = 0; e < n; ++e) {
    const PatternNode& entry = body_[e];
    if (entry.is_var()) {
      ids[e] = row[column[e]];
      continue;
    }
    children.clear();
    for (ClassId child : entry.children()) children.push_back(egraph.find(ids[child]));
    if (e == n - 1) {
      ids[e] = root_instance(egraph, eclass, children.span(), tracing, ahead);
      continue;
    }
    if (tracing)
      write_log(LogLevel::Trace, "adding: " + SymbolLang(entry.enode().op(), children.span()).debug_string());
    ids[e] = egraph.add(entry.enode().op(), children.span());
  }
  if (tracing) write_log(LogLevel::Trace, "apply_rec " + debug_string() + " => " + std::to_string(ids[n - 1]));
  return ids[n - 1];
}

std::vector<ClassId> TermPattern::apply(EGraph& egraph, const SearchMatches& matches) const {
  std::vector<ClassId> changed;
  if (matches.total_bindings() == 0) return changed;
  const std::vector<std::size_t> column = binding_columns(matches);
  std::optional<SmallVector<std::size_t, 4>> root_columns = flat_root_columns(column);
  // With every entry but the root a variable, the root's children come straight from the binding
  // row and the general walk (kept for tracing, which logs each entry) is skipped.
  bool root_only = root_columns && !log_enabled(LogLevel::Trace);
  for (std::size_t e = 0; e + 1 < body_.size(); ++e) root_only = root_only && body_[e].is_var();
  const Symbol root_op = body_.root().is_var() ? Symbol() : body_.root().enode().op();
  InstanceLookahead ahead(egraph, matches, root_op, root_columns);
  std::vector<ClassId> ids(body_.size());

  std::size_t r = 0;
  for (std::size_t c = 0; c < matches.class_count(); ++c) {
    const ClassId eclass = matches.eclass(c);
    egraph.prefetch_ahead(matches.classes(), c);
    for (std::size_t b = 0; b < matches.binding_count(c); ++b, ++r) {
      ahead.load_ahead(r);
      const std::span<const ClassId> row = matches.row(r);
      const ClassId instance = root_only ? instantiate_root(egraph, eclass, row, *root_columns, ahead)
                                         : instantiate(egraph, eclass, row, column, ids, ahead);
      if (egraph.merge(instance, eclass)) changed.push_back(instance);
    }
  }
  return changed;
}

}  // namespace veltrix::egraph
