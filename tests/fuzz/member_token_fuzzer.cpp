// libFuzzer harness for reading stage member tokens.
//
// Any text must read as an Op or Reduction token or as nothing. What it reads as must encode back
// into a token that reads as the same kind, name and params and that is a fixed point of reading
// and encoding, so that a member token taken from a blob keeps its meaning through a reduction.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_checks.h"
#include "store/node.h"
#include "store/term_encoding.h"

namespace {

using veltrix::MemberToken;
using veltrix::fuzz::broken;

std::string encode(const MemberToken& token) {
  const veltrix::Node node = token.kind == "op" ? veltrix::Node::op(token.name, token.params, {})
                                                : veltrix::Node::reduction(token.name, token.params, {});
  return veltrix::encode_symbol(node);
}

bool same_token(const MemberToken& a, const MemberToken& b) {
  return a.kind == b.kind && a.name == b.name && a.params == b.params;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::optional<MemberToken> token = veltrix::parse_member_token(input);
  if (!token) return 0;
  if (token->kind != "op" && token->kind != "red") broken("a token is an Op or a Reduction");
  for (std::size_t i = 1; i < token->params.size(); ++i) {
    if (token->params[i].key < token->params[i - 1].key) broken("params are sorted by key");
  }
  const std::string encoded = encode(*token);
  if (!encoded.starts_with(token->kind + "|")) broken("an encoded token starts with its kind");
  const std::optional<MemberToken> again = veltrix::parse_member_token(encoded);
  if (!again || !same_token(*again, *token)) broken("an encoded token reads back");
  if (encode(*again) != encoded) broken("encoding a read token is a fixed point");
  return 0;
}
