// TermPattern: a compiled pattern that can be searched for in an e-graph (a rule's left-hand
// side) or instantiated and merged into it (a rule's right-hand side).
//
// Search results are flat: every binding of one search has the same variables in the same order
// (the program's substitution order), so a match is just a row of class ids.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/machine.h"
#include "egraph/pattern_parse.h"
#include "support/result.h"

namespace veltrix::egraph {

// The matches of one search, grouped by the class they were found in, in search order.
class SearchMatches {
 public:
  SearchMatches() = default;
  explicit SearchMatches(std::vector<Symbol> variables) : variables_(std::move(variables)) {}

  // The variables of every binding, in order.
  std::span<const Symbol> variables() const { return variables_; }

  std::size_t class_count() const { return eclasses_.size(); }
  ClassId eclass(std::size_t c) const { return eclasses_[c]; }
  std::span<const ClassId> classes() const { return eclasses_; }
  std::size_t binding_count(std::size_t c) const { return ends_[c] - (c == 0 ? 0 : ends_[c - 1]); }
  // The class bound to each variable by the `b`-th binding found in the `c`-th class.
  std::span<const ClassId> binding(std::size_t c, std::size_t b) const {
    const std::size_t row = (c == 0 ? 0 : ends_[c - 1]) + b;
    return std::span<const ClassId>(values_).subspan(row * variables_.size(), variables_.size());
  }
  // The class bound to `var` in a binding, if the binding has that variable.
  std::optional<ClassId> lookup(std::size_t c, std::size_t b, Symbol var) const;

  // The `r`-th binding over all classes, in search order.
  std::span<const ClassId> row(std::size_t r) const {
    return std::span<const ClassId>(values_).subspan(r * variables_.size(), variables_.size());
  }

  std::size_t total_bindings() const { return ends_.empty() ? 0 : ends_.back(); }
  bool empty() const { return eclasses_.empty(); }

  // Search appends the matches of one class at a time through these two.
  std::vector<ClassId>& values() { return values_; }
  // Makes room for the matches of `classes` classes, so that recording them copies nothing.
  void reserve_classes(std::size_t classes) {
    eclasses_.reserve(classes);
    ends_.reserve(classes);
  }
  void close_class(ClassId eclass, std::size_t bindings) {
    eclasses_.push_back(eclass);
    ends_.push_back(total_bindings() + bindings);
  }
  // Appends the first `limit` bindings of `part` (found with the same variables) after these;
  // returns how many were appended.
  std::size_t append(const SearchMatches& part, std::size_t limit);

 private:
  std::vector<Symbol> variables_;
  std::vector<ClassId> eclasses_;
  std::vector<std::size_t> ends_;  // per class: one past its last binding
  std::vector<ClassId> values_;    // binding-major rows of variables_.size() ids
};

class TermPattern {
 public:
  // Compacts and compiles a body.
  explicit TermPattern(const PatternBody& body);

  // parse_pattern, then compaction and compilation.
  static Result<TermPattern, TermParseError> parse(std::string_view text);

  const PatternBody& body() const { return body_; }
  const Program& program() const { return program_; }
  // The distinct variables in order of first appearance in the body.
  std::span<const Symbol> variables() const { return variables_; }

  // Matches in every candidate class, in ascending class order, stopping after `limit` bindings.
  SearchMatches search(const EGraph& egraph, std::size_t limit) const;
  // The number of bindings an unlimited search would find, when that is known without searching:
  // for a pattern that is one operator over distinct variables (each node of its kind is one
  // binding) whose signature the e-graph tracks, on a clean e-graph. Otherwise nullopt.
  std::optional<std::size_t> known_match_count(const EGraph& egraph) const;
  // The operator and arity of the root, unless the root is a variable.
  std::optional<Signature> root_signature() const;
  // Matches in one class (which must be a root), at most `limit`.
  SearchMatches search_class(const EGraph& egraph, ClassId eclass, std::size_t limit) const;

  // Instantiates this pattern for every binding and merges the instance with its matched class;
  // returns the instances whose merge changed the e-graph.
  std::vector<ClassId> apply(EGraph& egraph, const SearchMatches& matches) const;

  // The pattern as an s-expression text.
  std::string debug_string() const;

 private:
  // Matching a single Bind needs no machine: the bindings are the children of the class's
  // nodes of one kind.
  SearchMatches search_single_bind(const EGraph& egraph, std::size_t limit) const;
  // The variables of a binding row, in the program's substitution order.
  std::vector<Symbol> binding_order() const;

  // Per body entry, the column of a binding row that holds a variable entry's class.
  std::vector<std::size_t> binding_columns(const SearchMatches& matches) const;
  // The root's children when they are all variables (columns of a binding row), else nothing.
  std::optional<SmallVector<std::size_t, 4>> flat_root_columns(std::span<const std::size_t> column) const;
  // The class of this pattern's instance for one binding, added where it is not in the e-graph.
  ClassId instantiate(EGraph& egraph, ClassId eclass, std::span<const ClassId> row, std::span<const std::size_t> column,
                      std::vector<ClassId>& ids, class InstanceLookahead& ahead) const;
  // The root's node over these child classes: the one its class holds, or added.
  ClassId root_instance(EGraph& egraph, ClassId eclass, std::span<const ClassId> children, bool tracing,
                        class InstanceLookahead& ahead) const;
  ClassId instantiate_root(EGraph& egraph, ClassId eclass, std::span<const ClassId> row,
                           std::span<const std::size_t> root_columns, InstanceLookahead& ahead) const;

  PatternBody body_;
  Program program_;
  std::vector<Symbol> variables_;
  bool single_bind_ = false;  // the program is one Bind
};

}  // namespace veltrix::egraph
