#include "store/dot_export.h"

#include <charconv>
#include <cmath>
#include <vector>

#include "support/unicode.h"

namespace veltrix {
namespace {

template <class Integer>
void append_decimal(std::string& out, Integer value) {
  char buffer[24];
  const std::to_chars_result end = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, end.ptr);
}

void append_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // The shortest round-trip digits come from the scientific form ("-1.2345e+25"); they are then
  // laid out positionally. Fixed format cannot be used directly: for large values it writes the
  // exact binary value (1e23 as 99999999999999991611392) rather than the shortest digits.
  char scientific[40];
  const std::to_chars_result end =
      std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific);
  const char* p = scientific;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  char digits[24];
  int digit_count = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[digit_count++] = *p;
  }
  int exponent = 0;
  std::from_chars(p[1] == '+' ? p + 2 : p + 1, end.ptr, exponent);
  // digits[0] stands at 10^exponent.
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out.append(digits, static_cast<std::size_t>(digit_count));
  } else if (exponent + 1 >= digit_count) {
    out.append(digits, static_cast<std::size_t>(digit_count));
    out.append(static_cast<std::size_t>(exponent + 1 - digit_count), '0');
  } else {
    out.append(digits, static_cast<std::size_t>(exponent + 1));
    out += '.';
    out.append(digits + exponent + 1, static_cast<std::size_t>(digit_count - exponent - 1));
  }
}

void append_params(std::string& label, const NodeView& node) {
  const std::size_t count = node.param_count();
  if (count == 0) return;
  label += " {";
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) label += ", ";
    label += node.param_key(i);
    label += '=';
    append_label_value(label, node.param_value(i));
  }
  label += '}';
}

void append_label(std::string& label, const NodeView& node) {
  switch (node.kind()) {
    case NodeKind::Source: label += "Source "; break;
    case NodeKind::Op: label += "Op "; break;
    case NodeKind::Reduction: label += "Reduction "; break;
    case NodeKind::External: {
      const DescriptorRef d = node.descriptor_ref();
      label += "External ";
      label += d.kind;
      label += ':';
      label += d.content_hash;
      label += " [";
      label += d.framework;
      label += ' ';
      label += d.version;
      label += ']';
      append_params(label, node);
      return;
    }
    case NodeKind::Stage:
      label += "Stage[";
      append_decimal(label, node.member_count());
      label += " members]";
      return;
    case NodeKind::Exchange:
      label += "Exchange";
      append_params(label, node);
      return;
  }
  label += node.name();
  append_params(label, node);
}

// Escapes for a DOT quoted string: backslashes doubled, then double quotes escaped. Doing both
// in one pass gives the same text, since neither step introduces the other's character after
// the fact. Everything else, raw line feeds included, is copied as it is.
void append_escaped_label(std::string& out, std::string_view label) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < label.size(); ++i) {
    const char c = label[i];
    if (c != '\\' && c != '"') continue;
    out.append(label, start, i - start);
    out += '\\';
    out += c;
    start = i + 1;
  }
  out.append(label, start, std::string_view::npos);
}

}  // namespace

void append_label_value(std::string& out, const ParamValueRef& value) {
  switch (value.tag) {
    case ParamTag::Int: append_decimal(out, value.as_int()); return;
    case ParamTag::Float: append_float(out, value.as_float()); return;
    case ParamTag::Bool: out += value.as_bool() ? "true" : "false"; return;
    case ParamTag::Str: append_quoted(out, value.text); return;
  }
}

std::string render_dot(const NodeTable& nodes, std::span<const NodeId> marks) {
  const std::size_t count = nodes.size();
  std::vector<bool> marked(count, false);
  for (NodeId id : marks) {
    if (id < count) marked[id] = true;
  }

  std::size_t edges = 0;
  for (NodeId id = 0; id < count; ++id) edges += nodes[id].input_count();
  // Generous on purpose: pages of a large reservation that are never written are never touched,
  // while growing the string on the way would copy the whole text again each time.
  std::string out;
  out.reserve(32 + count * 96 + edges * 24);
  out += "digraph veltrix {\n";
  std::string label;  // reused: one buffer for every label
  for (NodeId id = 0; id < count; ++id) {
    label.clear();
    append_label(label, nodes[id]);
    out += "  n";
    append_decimal(out, id);
    out += " [label=\"";
    append_escaped_label(out, label);
    out += marked[id] ? "\", shape=doublecircle];\n" : "\"];\n";
  }
  for (NodeId id = 0; id < count; ++id) {
    for (std::uint32_t input : nodes[id].inputs()) {
      out += "  n";
      append_decimal(out, input);
      out += " -> n";
      append_decimal(out, id);
      out += ";\n";
    }
  }
  out += "}\n";
  return out;
}

std::string to_dot(const GraphStore& store) {
  return store.read_locked(
      [](const NodeTable& nodes, std::span<const NodeId> marks) { return render_dot(nodes, marks); });
}

}  // namespace veltrix
