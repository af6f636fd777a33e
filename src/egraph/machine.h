// The matching machine: a pattern body compiled into a short program of register instructions,
// and the interpreter that runs such a program against one e-class.
//
// Register 0 holds the class being matched. `Bind` walks the nodes of a class that have the
// instruction's operator and arity and binds their children to fresh registers; `Compare` checks
// that a repeated variable sees one class twice; `Lookup` checks a ground sub-pattern with one
// memo probe per node instead of a walk; `Scan` tries every class (never emitted for a single
// pattern, kept for completeness of the machine).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/pattern_parse.h"
#include "egraph/symbol_lang.h"
#include "support/small_vector.h"

namespace veltrix::egraph {

using Reg = std::uint32_t;

struct Bind {
  Symbol op;
  std::uint32_t arity;
  Reg i;    // the class whose nodes are walked
  Reg out;  // the first register that receives a node's children
};

struct Compare {
  Reg i;
  Reg j;
};

// One entry of a ground term: a node whose children index earlier entries, or a register.
struct LookupEntry {
  bool is_reg;
  Reg reg;          // when is_reg
  SymbolLang node;  // otherwise
};

struct Lookup {
  std::vector<LookupEntry> term;  // children before parents, root last
  Reg i;
};

struct Scan {
  Reg out;
};

using Instruction = std::variant<Bind, Compare, Lookup, Scan>;

struct Program {
  std::vector<Instruction> instructions;
  // Where each variable's binding is found, in the order the compiler first bound them.
  std::vector<std::pair<Symbol, Reg>> subst;

  std::string debug_string() const;
};

// Compiles a compacted pattern body (root last).
Program compile(const PatternBody& body);

// Runs programs; holds the registers and buffers so that repeated runs do not allocate.
class Machine {
 public:
  // Matches `program` against the class `eclass` and appends at most `limit` matches to `values`,
  // each as the register values of `program.subst` in order. Returns the number of matches.
  // The e-graph must be clean.
  std::size_t run(const Program& program, const EGraph& egraph, ClassId eclass, std::size_t limit,
                  std::vector<ClassId>& values);

 private:
  // Executes from instruction `pc`; false once the limit is reached, which stops the whole run.
  bool execute(std::size_t pc);
  bool execute_bind(const Bind& bind, std::size_t pc);
  bool execute_lookup(const Lookup& lookup, std::size_t pc);
  bool execute_scan(const Scan& scan, std::size_t pc);
  bool record_match();

  const Program* program_ = nullptr;
  const EGraph* egraph_ = nullptr;
  std::vector<ClassId>* values_ = nullptr;
  std::size_t remaining_ = 0;
  std::size_t found_ = 0;
  std::vector<ClassId> registers_;
  std::vector<ClassId> lookup_buffer_;
  SmallVector<ClassId, 4> children_;
};

}  // namespace veltrix::egraph
