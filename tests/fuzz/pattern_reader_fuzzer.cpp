// libFuzzer harness for the pattern reader, compaction and the pattern compiler.
//
// Any text must become a pattern body or a TermParseError whose parts agree with its kind. A body
// must be a flat term (children before parents, variables without children); compacting it
// must keep the root, never grow it and leave nothing to merge a second time; it must compile.
// The compiled pattern's text must read back into the same compacted body whenever every
// symbol in it can be written as a bare atom.
#include <cstdint>
#include <string_view>

#include "egraph/pattern.h"
#include "egraph/pattern_parse.h"
#include "egraph/symbol.h"
#include "fuzz_checks.h"

namespace {

using veltrix::egraph::PatternBody;
using veltrix::egraph::PatternNode;
using veltrix::egraph::TermParseError;
using veltrix::fuzz::broken;

void check_error(std::string_view input, const TermParseError& error) {
  if (error.debug_string().empty()) broken("an error has a debug form");
  switch (error.kind) {
    case TermParseError::Kind::BadSexp:
      if (error.parse.msg.empty()) broken("a reader error has a message");
      if (!veltrix::fuzz::names_a_place_in_part(input, error.parse.line, error.parse.col)) {
        broken("a reader error names a place in the text");
      }
      return;
    case TermParseError::Kind::BadOp:
      if (error.node.text.size() < 2 || error.node.text.front() != '?') broken("only a variable is a bad operator");
      return;
    case TermParseError::Kind::HeadList:
      if (error.list.kind != veltrix::egraph::SExpr::Kind::List) broken("a list head is a list");
      return;
    case TermParseError::Kind::EmptySexp: return;
  }
}

void check_flat(const PatternBody& body) {
  if (body.empty()) broken("a body has a root");
  for (std::size_t e = 0; e < body.size(); ++e) {
    const PatternNode& entry = body[e];
    if (entry.is_var() && !entry.children().empty()) broken("a variable has no children");
    for (veltrix::egraph::ClassId child : entry.children()) {
      if (child >= e) broken("children come before their parent");
    }
  }
}

// Bare atoms are the texts that the reader reads back unchanged in any position and that
// surrounding whitespace trimming leaves alone.
bool writes_bare(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c <= ' ' || c > '~' || c == '(' || c == ')' || c == '"') return false;
  }
  return true;
}

bool every_symbol_bare(const PatternBody& body) {
  for (const PatternNode& entry : body) {
    if (!writes_bare(veltrix::egraph::resolve_symbol(entry.enode().op()))) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  veltrix::Result<PatternBody, TermParseError> parsed = veltrix::egraph::parse_pattern(input);
  if (!parsed.ok()) {
    check_error(input, parsed.error());
    return 0;
  }
  const PatternBody& body = parsed.value();
  check_flat(body);
  const PatternBody compacted = veltrix::egraph::compact(body);
  check_flat(compacted);
  if (compacted.size() > body.size()) broken("compaction never grows a body");
  if (compacted.root().is_var() != body.root().is_var() || compacted.root().enode().op() != body.root().enode().op()) {
    broken("compaction keeps the root");
  }
  if (veltrix::egraph::compact(compacted) != compacted) broken("compaction is idempotent");

  const veltrix::egraph::TermPattern pattern(body);
  if (pattern.body() != compacted) broken("a compiled pattern holds the compacted body");
  if (pattern.program().subst.size() != pattern.variables().size()) broken("the program binds every variable once");
  if (pattern.program().debug_string().empty()) broken("a program has a debug form");
  if (!every_symbol_bare(compacted)) return 0;
  veltrix::Result<PatternBody, TermParseError> again = veltrix::egraph::parse_pattern(pattern.debug_string());
  if (!again.ok() || veltrix::egraph::compact(again.value()) != compacted) broken("a pattern's text reads back");
  return 0;
}
