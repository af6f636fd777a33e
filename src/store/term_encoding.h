// Term symbols: one string per graph node that encodes everything about the node except its
// inputs (kind, name, params, descriptor, stage members).
//
// Two nodes get the same symbol exactly when they are equal apart from their inputs, so the
// symbol can stand for the node as an e-graph operator, as the key from which boundary nodes are
// rebuilt, and as the token of a stage member (which parse_member_token reads back).
//
//   Source    "src|" + esc(name)            Op     "op|" + esc(name)
//   Reduction "red|" + esc(name)            Exchange "exch"
//   External  "ext|" + esc(kind) + "|" + esc(content_hash) + "|" + esc(framework) + "|" +
//             esc(version) + "|" + esc(io_schema) + "|" + (esc(preprocessing_ref), or "%-" when
//             absent: no escaped text can take that form)
//   Stage     "stage|" + member count, then per member "|" + esc(token) + "=" + its refs as
//             "i<k>" (stage input k) or "m<k>" (earlier member k) joined by ";"
// followed, when the node has params, by "|" and the params text: esc(key) + "=" + value per
// entry in key order, joined by ";". Values: "i" + decimal Int, "f" + 16 lowercase hex digits of
// the Float's bits (every NaN as the canonical quiet NaN), "btrue"/"bfalse", "s" + esc(Str).
// esc replaces "%", ";", "=" and "|" by "%25", "%3B", "%3D" and "%7C", in that order.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "store/node.h"
#include "store/param_map.h"
#include "support/small_vector.h"

namespace veltrix {

void append_escaped_symbol_text(std::string& out, std::string_view text);
std::string escape_symbol_text(std::string_view text);
std::string unescape_symbol_text(std::string_view text);

// Appends the params text of a node's parameters.
template <NodeLike N>
void append_params_text(std::string& out, const N& node);

std::string encode_params(const ParamMap& params);

template <NodeLike N>
void append_symbol(std::string& out, const N& node);

template <NodeLike N>
std::string encode_symbol(const N& node) {
  std::string out;
  append_symbol(out, node);
  return out;
}

struct MemberToken {
  std::string kind;  // "op" or "red", as the token writes it
  std::string name;
  ParamMap params;
};

// Reads an Op or Reduction symbol back; nothing when the text is not one.
std::optional<MemberToken> parse_member_token(std::string_view token);

// The same for a token without escapes (no "%"), its parts as views into `token`: what
// parse_member_token would give, without copying a part. Nothing when the token is not one, or
// holds an escape (parse_member_token reads those).
struct PlainMemberToken {
  struct Param {
    std::string_view key;
    ParamValueRef value;
  };
  bool is_op = false;
  std::string_view name;
  SmallVector<Param, 8> params;  // in key order
};
std::optional<PlainMemberToken> read_plain_member_token(std::string_view token);

// Appends the value text of one parameter value ("i5", "f3ff0000000000000", "btrue", "sx").
void append_param_value_text(std::string& out, const ParamValueRef& value);

}  // namespace veltrix

#include "store/term_encoding.inl"
