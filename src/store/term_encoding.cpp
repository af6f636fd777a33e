#include "store/term_encoding.h"

#include <charconv>
#include <vector>

namespace veltrix {
namespace {

// Each of the four escape sequences, indexed by the character it stands for.
std::string_view escape_of(char c) {
  switch (c) {
    case '%': return "%25";
    case ';': return "%3B";
    case '=': return "%3D";
    case '|': return "%7C";
    default: return {};
  }
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

// Hex digits with an optional leading "+", into 64 bits; nothing on any other input or overflow.
std::optional<std::uint64_t> parse_hex_u64(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Decimal with an optional leading "+" or "-", into a signed 64-bit value.
std::optional<std::int64_t> parse_i64(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;
  std::uint64_t magnitude = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude, 10);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (negative) {
    if (magnitude > std::uint64_t{INT64_MAX} + 1) return std::nullopt;
    return static_cast<std::int64_t>(0 - magnitude);
  }
  if (magnitude > std::uint64_t{INT64_MAX}) return std::nullopt;
  return static_cast<std::int64_t>(magnitude);
}

std::optional<ParamValue> parse_param_value(std::string_view text) {
  if (text.empty() || static_cast<unsigned char>(text.front()) >= 0x80) return std::nullopt;
  const char tag = text.front();
  const std::string_view payload = text.substr(1);
  switch (tag) {
    case 'b':
      if (payload == "true") return ParamValue::from_bool(true);
      if (payload == "false") return ParamValue::from_bool(false);
      return std::nullopt;
    case 'f':
      if (auto bits = parse_hex_u64(payload)) return ParamValue::from_float_bits(*bits);
      return std::nullopt;
    case 'i':
      if (auto value = parse_i64(payload)) return ParamValue::from_int(*value);
      return std::nullopt;
    case 's': return ParamValue::from_str(unescape_symbol_text(payload));
    default: return std::nullopt;
  }
}

void replace_all(std::string& text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(from, start);
    if (at == std::string::npos) break;
    out.append(text, start, at - start);
    out += to;
    start = at + from.size();
  }
  out.append(text, start, std::string::npos);
  text = std::move(out);
}

}  // namespace

void append_escaped_symbol_text(std::string& out, std::string_view text) {
  for (char c : text) {
    std::string_view escape = escape_of(c);
    if (escape.empty()) {
      out += c;
    } else {
      out += escape;
    }
  }
}

std::string escape_symbol_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped_symbol_text(out, text);
  return out;
}

std::string unescape_symbol_text(std::string_view text) {
  // The replacement order matters: "%25" last, so "%253B" reads back as "%3B", not ";".
  std::string out(text);
  replace_all(out, "%7C", "|");
  replace_all(out, "%3D", "=");
  replace_all(out, "%3B", ";");
  replace_all(out, "%25", "%");
  return out;
}

void append_param_value_text(std::string& out, const ParamValueRef& value) {
  char buffer[24];
  switch (value.tag) {
    case ParamTag::Int: {
      out += 'i';
      auto result = std::to_chars(buffer, buffer + sizeof buffer, value.as_int());
      out.append(buffer, result.ptr);
      return;
    }
    case ParamTag::Float: {
      static constexpr char kHex[] = "0123456789abcdef";
      const std::uint64_t bits = canonical_float_bits(value.bits);
      out += 'f';
      for (int shift = 60; shift >= 0; shift -= 4) out += kHex[(bits >> shift) & 0xF];
      return;
    }
    case ParamTag::Bool: out += value.as_bool() ? "btrue" : "bfalse"; return;
    case ParamTag::Str:
      out += 's';
      append_escaped_symbol_text(out, value.text);
      return;
  }
}

std::string encode_params(const ParamMap& params) {
  std::string out;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i) out += ';';
    append_escaped_symbol_text(out, params[i].key);
    out += '=';
    append_param_value_text(out, params[i].value.ref());
  }
  return out;
}

std::optional<MemberToken> parse_member_token(std::string_view token) {
  // At most three parts: the third keeps any further "|".
  const std::size_t first_bar = token.find('|');
  const std::string_view kind = token.substr(0, first_bar);
  if (kind != "op" && kind != "red") return std::nullopt;
  if (first_bar == std::string_view::npos) return std::nullopt;
  const std::string_view rest = token.substr(first_bar + 1);
  const std::size_t second_bar = rest.find('|');
  MemberToken parsed{std::string(kind), unescape_symbol_text(rest.substr(0, second_bar)), {}};
  if (second_bar == std::string_view::npos) return parsed;
  const std::string_view params_text = rest.substr(second_bar + 1);
  if (params_text.empty()) return parsed;

  std::vector<ParamEntry> entries;
  for (std::string_view segment : split(params_text, ';')) {
    if (segment.empty()) return std::nullopt;
    const std::size_t equals = segment.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    std::optional<ParamValue> value = parse_param_value(segment.substr(equals + 1));
    if (!value) return std::nullopt;
    entries.push_back(ParamEntry{unescape_symbol_text(segment.substr(0, equals)), std::move(*value)});
  }
  parsed.params = ParamMap::from_entries(std::move(entries));
  return parsed;
}

std::optional<PlainMemberToken> read_plain_member_token(std::string_view token) {
  if (token.find('%') != std::string_view::npos) return std::nullopt;
  const std::size_t first_bar = token.find('|');
  if (first_bar == std::string_view::npos) return std::nullopt;
  const std::string_view kind = token.substr(0, first_bar);
  if (kind != "op" && kind != "red") return std::nullopt;
  const std::string_view rest = token.substr(first_bar + 1);
  const std::size_t second_bar = rest.find('|');
  PlainMemberToken plain;
  plain.is_op = kind == "op";
  plain.name = rest.substr(0, second_bar);
  if (second_bar == std::string_view::npos) return plain;
  std::string_view params_text = rest.substr(second_bar + 1);
  while (!params_text.empty()) {
    const std::size_t end = params_text.find(';');
    const std::string_view segment = params_text.substr(0, end);
    params_text = end == std::string_view::npos ? std::string_view() : params_text.substr(end + 1);
    if (segment.empty() || (end != std::string_view::npos && params_text.empty())) return std::nullopt;
    const std::size_t equals = segment.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view text = segment.substr(equals + 1);
    if (text.empty()) return std::nullopt;
    const std::string_view payload = text.substr(1);
    ParamValueRef value;
    switch (text.front()) {
      case 'b':
        if (payload != "true" && payload != "false") return std::nullopt;
        value = ParamValueRef{ParamTag::Bool, payload == "true" ? 1u : 0u, {}};
        break;
      case 'f': {
        const std::optional<std::uint64_t> bits = parse_hex_u64(payload);
        if (!bits) return std::nullopt;
        value = ParamValueRef{ParamTag::Float, *bits, {}};
        break;
      }
      case 'i': {
        const std::optional<std::int64_t> integer = parse_i64(payload);
        if (!integer) return std::nullopt;
        value = ParamValueRef{ParamTag::Int, static_cast<std::uint64_t>(*integer), {}};
        break;
      }
      case 's': value = ParamValueRef{ParamTag::Str, 0, payload}; break;
      default: return std::nullopt;
    }
    plain.params.push_back({segment.substr(0, equals), value});
  }
  stable_sort_by_key(plain.params.begin(), plain.params.end(), [](const PlainMemberToken::Param& p) { return p.key; });
  return plain;
}

}  // namespace veltrix
