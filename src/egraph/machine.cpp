#include "egraph/machine.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "egraph/log.h"
#include "support/internal_failure.h"

namespace veltrix::egraph {
namespace {

// Compiler state for one body; see compile() for the scheduling order.
class Compiler {
 public:
  explicit Compiler(const PatternBody& body) : body_(body) {
    const std::size_t n = body.size();
    free_.resize(n);
    sizes_.resize(n, 0);
    for (std::size_t e = 0; e < n; ++e) {
      const PatternNode& entry = body[e];
      if (entry.is_var()) {
        free_[e].push_back(variable_index(entry.var()));
        continue;
      }
      std::size_t size = 1;
      for (ClassId child : entry.children()) {
        free_[e].insert(free_[e].end(), free_[child].begin(), free_[child].end());
        size = sizes_[child] > std::numeric_limits<std::size_t>::max() - size ? std::numeric_limits<std::size_t>::max()
                                                                              : size + sizes_[child];
      }
      std::sort(free_[e].begin(), free_[e].end());
      free_[e].erase(std::unique(free_[e].begin(), free_[e].end()), free_[e].end());
      sizes_[e] = size;
    }
    registers_.assign(variables_.size(), std::nullopt);
  }

  Program run() {
    if (body_.empty()) internal_failure("cannot compile an empty pattern");
    schedule(static_cast<ClassId>(body_.size() - 1), 0);
    while (!pending_.empty()) {
      const std::size_t chosen = pick_pending();
      const auto [entry, reg] = pending_[chosen];
      pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(chosen));
      const SymbolLang& node = body_[entry].enode();
      if (unmapped(entry) == 0 && !node.is_leaf()) {
        program_.instructions.push_back(Lookup{ground_term(entry), reg});
        continue;
      }
      const Reg out = next_register_;
      next_register_ += static_cast<Reg>(node.arity());
      program_.instructions.push_back(Bind{node.op(), static_cast<std::uint32_t>(node.arity()), reg, out});
      for (std::size_t k = 0; k < node.arity(); ++k) schedule(node.children()[k], out + static_cast<Reg>(k));
    }
    for (std::size_t v : bound_order_) program_.subst.emplace_back(variables_[v], *registers_[v]);
    return std::move(program_);
  }

 private:
  std::size_t variable_index(Symbol var) {
    for (std::size_t v = 0; v < variables_.size(); ++v) {
      if (variables_[v] == var) return v;
    }
    variables_.push_back(var);
    return variables_.size() - 1;
  }

  void schedule(ClassId entry, Reg reg) {
    const PatternNode& node = body_[entry];
    if (!node.is_var()) {
      pending_.emplace_back(entry, reg);
      return;
    }
    const std::size_t v = free_[entry].front();
    if (registers_[v]) {
      program_.instructions.push_back(Compare{reg, *registers_[v]});
    } else {
      registers_[v] = reg;
      bound_order_.push_back(v);
    }
  }

  std::size_t unmapped(ClassId entry) const {
    std::size_t count = 0;
    for (std::size_t v : free_[entry]) count += registers_[v] ? 0 : 1;
    return count;
  }

  // The pending entry to schedule next: ground ones first, then those with more unbound
  // variables, then smaller ones; among equals the earliest scheduled.
  std::size_t pick_pending() const {
    std::size_t best = 0;
    for (std::size_t p = 1; p < pending_.size(); ++p) {
      if (ranks_before(pending_[p].first, pending_[best].first)) best = p;
    }
    return best;
  }

  bool ranks_before(ClassId a, ClassId b) const {
    const std::size_t ua = unmapped(a);
    const std::size_t ub = unmapped(b);
    if ((ua == 0) != (ub == 0)) return ua == 0;
    if (ua != ub) return ua > ub;
    return sizes_[a] < sizes_[b];
  }

  // The sub-body rooted at `root` with its variables replaced by their registers.
  std::vector<LookupEntry> ground_term(ClassId root) {
    std::vector<LookupEntry> term;
    std::vector<std::uint32_t> position(body_.size(), kNoClass);
    add_ground(root, term, position);
    return term;
  }

  std::uint32_t add_ground(ClassId e, std::vector<LookupEntry>& term, std::vector<std::uint32_t>& position) {
    if (position[e] != kNoClass) return position[e];
    const PatternNode& entry = body_[e];
    if (entry.is_var()) {
      term.push_back(LookupEntry{true, *registers_[free_[e].front()], SymbolLang(Symbol{})});
    } else {
      SmallVector<ClassId, 4> children;
      for (ClassId child : entry.children()) children.push_back(add_ground(child, term, position));
      term.push_back(LookupEntry{false, 0, SymbolLang(entry.enode().op(), children.span())});
    }
    position[e] = static_cast<std::uint32_t>(term.size() - 1);
    return position[e];
  }

  const PatternBody& body_;
  std::vector<std::vector<std::size_t>> free_;  // per entry: indices of its free variables
  std::vector<std::size_t> sizes_;              // per entry: operator nodes in its subtree
  std::vector<Symbol> variables_;
  std::vector<std::optional<Reg>> registers_;  // per variable, once bound
  std::vector<std::size_t> bound_order_;
  std::vector<std::pair<ClassId, Reg>> pending_;
  Reg next_register_ = 1;
  Program program_;
};

}  // namespace

std::string Program::debug_string() const {
  std::string out = "Program { instructions: [";
  for (std::size_t n = 0; n < instructions.size(); ++n) {
    if (n != 0) out += ", ";
    const Instruction& ins = instructions[n];
    if (const auto* bind = std::get_if<Bind>(&ins)) {
      out += "Bind { op: " + std::string(resolve_symbol(bind->op)) + ", arity: " + std::to_string(bind->arity) +
             ", i: " + std::to_string(bind->i) + ", out: " + std::to_string(bind->out) + " }";
    } else if (const auto* compare = std::get_if<Compare>(&ins)) {
      out += "Compare { i: " + std::to_string(compare->i) + ", j: " + std::to_string(compare->j) + " }";
    } else if (const auto* lookup = std::get_if<Lookup>(&ins)) {
      out += "Lookup { term: [";
      for (std::size_t t = 0; t < lookup->term.size(); ++t) {
        if (t != 0) out += ", ";
        const LookupEntry& entry = lookup->term[t];
        out += entry.is_reg ? "Reg(" + std::to_string(entry.reg) + ")" : entry.node.debug_string();
      }
      out += "], i: " + std::to_string(lookup->i) + " }";
    } else {
      out += "Scan { out: " + std::to_string(std::get<Scan>(ins).out) + " }";
    }
  }
  out += "], subst: [";
  for (std::size_t n = 0; n < subst.size(); ++n) {
    if (n != 0) out += ", ";
    out += std::string(resolve_symbol(subst[n].first)) + " => " + std::to_string(subst[n].second);
  }
  return out + "] }";
}

Program compile(const PatternBody& body) { return Compiler(body).run(); }

std::size_t Machine::run(const Program& program, const EGraph& egraph, ClassId eclass, std::size_t limit,
                         std::vector<ClassId>& values) {
  if (!egraph.is_clean()) internal_failure("Tried to search a dirty e-graph!");
  if (limit == 0) return 0;
  program_ = &program;
  egraph_ = &egraph;
  values_ = &values;
  remaining_ = limit;
  found_ = 0;
  registers_.clear();
  registers_.push_back(eclass);
  execute(0);
  if (log_enabled(LogLevel::Trace)) write_log(LogLevel::Trace, "Ran program, found " + std::to_string(found_));
  return found_;
}

bool Machine::record_match() {
  for (const auto& [var, reg] : program_->subst) values_->push_back(registers_[reg]);
  ++found_;
  return --remaining_ != 0;
}

bool Machine::execute(std::size_t pc) {
  if (pc == program_->instructions.size()) return record_match();
  const Instruction& ins = program_->instructions[pc];
  switch (ins.index()) {
    case 0: return execute_bind(*std::get_if<Bind>(&ins), pc);
    case 1: {
      const Compare& compare = *std::get_if<Compare>(&ins);
      if (egraph_->find(registers_[compare.i]) != egraph_->find(registers_[compare.j])) return true;
      return execute(pc + 1);
    }
    case 2: return execute_lookup(*std::get_if<Lookup>(&ins), pc);
    default: return execute_scan(*std::get_if<Scan>(&ins), pc);
  }
}

bool Machine::execute_bind(const Bind& bind, std::size_t pc) {
  const ClassNodes nodes = egraph_->class_nodes(registers_[bind.i]);
  // A clean class lists its nodes sorted by operator first, so the walk can stop early.
  for (const SymbolLang& node : nodes) {
    if (node.op().value > bind.op.value) break;
    if (node.op() != bind.op || node.arity() != bind.arity) continue;
    registers_.resize(bind.out);
    registers_.insert(registers_.end(), node.children().begin(), node.children().end());
    if (!execute(pc + 1)) return false;
  }
  return true;
}

bool Machine::execute_lookup(const Lookup& lookup, std::size_t pc) {
  lookup_buffer_.clear();
  for (const LookupEntry& entry : lookup.term) {
    if (entry.is_reg) {
      lookup_buffer_.push_back(egraph_->find(registers_[entry.reg]));
      continue;
    }
    children_.clear();
    for (ClassId child : entry.node.children()) children_.push_back(lookup_buffer_[child]);
    const std::optional<ClassId> found = egraph_->lookup(entry.node.op(), children_.span());
    if (!found) return true;
    lookup_buffer_.push_back(*found);
  }
  if (lookup_buffer_.back() != egraph_->find(registers_[lookup.i])) return true;
  return execute(pc + 1);
}

bool Machine::execute_scan(const Scan& scan, std::size_t pc) {
  bool keep_going = true;
  const std::size_t ids = egraph_->id_count();
  for (std::size_t id = 0; id < ids && keep_going; ++id) {
    const auto eclass = static_cast<ClassId>(id);
    if (egraph_->find(eclass) != eclass) continue;
    registers_.resize(scan.out);
    registers_.push_back(eclass);
    keep_going = execute(pc + 1);
  }
  return keep_going;
}

}  // namespace veltrix::egraph
