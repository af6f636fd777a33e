#include "egraph/pattern_parse.h"

#include <vector>

#include "support/hash_table.h"
#include "support/internal_failure.h"
#include "support/unicode.h"

namespace veltrix::egraph {
namespace {

// Byte length of the Unicode White_Space character that starts `text`, or 0.
std::size_t leading_space_length(std::string_view text) {
  if (text.empty()) return 0;
  const auto b = [&](std::size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
  const unsigned c0 = b(0);
  if ((c0 >= 0x09 && c0 <= 0x0D) || c0 == 0x20) return 1;
  if (c0 == 0xC2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
  if (c0 == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;  // U+1680
  if (c0 == 0xE2 && b(1) == 0x80 && ((b(2) >= 0x80 && b(2) <= 0x8A) || b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF)) {
    return 3;  // U+2000..U+200A, U+2028, U+2029, U+202F
  }
  if (c0 == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;  // U+205F
  if (c0 == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;  // U+3000
  return 0;
}

std::string_view trim_whitespace(std::string_view text) {
  while (std::size_t n = leading_space_length(text)) text.remove_prefix(n);
  for (;;) {
    // Every White_Space character is at most three bytes long.
    std::size_t removed = 0;
    for (std::size_t n = 1; n <= 3 && n <= text.size(); ++n) {
      if (leading_space_length(text.substr(text.size() - n)) == n) {
        removed = n;
        break;
      }
    }
    if (removed == 0) break;
    text.remove_suffix(removed);
  }
  return text;
}

Result<PatternNode, NodeError> make_node(const std::string& op, std::span<const ClassId> children) {
  if (op.size() >= 2 && op[0] == '?') {
    if (!children.empty()) return make_err(NodeError{NodeError::Kind::UnexpectedVar, op});
    return PatternNode::var(intern_symbol(op));
  }
  return PatternNode(SymbolLang(intern_symbol(op), children));
}

Result<ClassId, TermParseError> add_sexpr(PatternBody& body, const SExpr& sexpr) {
  auto bad_op = [](NodeError error) {
    TermParseError out;
    out.kind = TermParseError::Kind::BadOp;
    out.node = std::move(error);
    return make_err(std::move(out));
  };
  switch (sexpr.kind) {
    case SExpr::Kind::Empty: return make_err(TermParseError{});
    case SExpr::Kind::String: {
      Result<PatternNode, NodeError> node = make_node(sexpr.text, {});
      if (!node.ok()) return bad_op(std::move(node).error());
      return body.add(std::move(node).value());
    }
    case SExpr::Kind::List: break;
  }
  if (sexpr.items.empty()) return make_err(TermParseError{});
  const SExpr& head = sexpr.items.front();
  if (head.kind == SExpr::Kind::List) {
    TermParseError out;
    out.kind = TermParseError::Kind::HeadList;
    out.list = head;
    return make_err(std::move(out));
  }
  if (head.kind == SExpr::Kind::Empty) {
    internal_failure("internal error: entered unreachable code: Cannot be in head position");
  }
  std::vector<ClassId> children;
  children.reserve(sexpr.items.size() - 1);
  for (std::size_t i = 1; i < sexpr.items.size(); ++i) {
    Result<ClassId, TermParseError> child = add_sexpr(body, sexpr.items[i]);
    if (!child.ok()) return child;
    children.push_back(child.value());
  }
  Result<PatternNode, NodeError> node = make_node(head.text, children);
  if (!node.ok()) return bad_op(std::move(node).error());
  return body.add(std::move(node).value());
}

struct PatternNodeHash {
  std::uint64_t operator()(const PatternNode& node) const { return node.hash(); }
};

}  // namespace

std::string PatternNode::debug_string() const {
  return is_var_ ? std::string(resolve_symbol(node_.op())) : node_.debug_string();
}

std::string NodeError::debug_string() const { return "UnexpectedVar(" + quoted(text) + ")"; }

std::string TermParseError::debug_string() const {
  switch (kind) {
    case Kind::EmptySexp: return "EmptySexp";
    case Kind::HeadList: return "HeadList(" + list.debug_string() + ")";
    case Kind::BadOp: return "BadOp(" + node.debug_string() + ")";
    case Kind::BadSexp: return "BadSexp(Parse(" + parse.debug_string() + "))";
  }
  return "EmptySexp";
}

Result<PatternBody, TermParseError> parse_pattern(std::string_view text) {
  Result<SExpr, ParseError> sexpr = read_sexpr(trim_whitespace(text));
  if (!sexpr.ok()) {
    TermParseError out;
    out.kind = TermParseError::Kind::BadSexp;
    out.parse = std::move(sexpr).error();
    return make_err(std::move(out));
  }
  PatternBody body;
  Result<ClassId, TermParseError> root = add_sexpr(body, sexpr.value());
  if (!root.ok()) return make_err(std::move(root).error());
  return body;
}

PatternBody compact(const PatternBody& body) {
  PatternBody out;
  HashMap<PatternNode, ClassId, PatternNodeHash> positions;
  std::vector<ClassId> new_index;
  new_index.reserve(body.size());
  std::vector<ClassId> children;
  for (const PatternNode& entry : body) {
    children.clear();
    for (ClassId child : entry.children()) children.push_back(checked_at(new_index, child));
    PatternNode rewritten = entry.is_var() ? entry : PatternNode(SymbolLang(entry.enode().op(), children));
    auto [position, inserted] =
        positions.find_or_insert_with(rewritten, [&] { return static_cast<ClassId>(out.size()); });
    if (inserted) out.add(std::move(rewritten));
    new_index.push_back(*position);
  }
  return out;
}

}  // namespace veltrix::egraph
