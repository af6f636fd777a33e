// Template implementations for term_encoding.h.
#pragma once

#include <charconv>

namespace veltrix {

template <NodeLike N>
void append_params_text(std::string& out, const N& node) {
  for (std::size_t i = 0; i < node.param_count(); ++i) {
    if (i) out += ';';
    append_escaped_symbol_text(out, node.param_key(i));
    out += '=';
    append_param_value_text(out, node.param_value(i));
  }
}

template <NodeLike N>
void append_symbol(std::string& out, const N& node) {
  const auto append_decimal = [&](std::uint64_t value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
  };
  switch (node.kind()) {
    case NodeKind::Source: out += "src|"; break;
    case NodeKind::Op: out += "op|"; break;
    case NodeKind::Reduction: out += "red|"; break;
    case NodeKind::External: out += "ext|"; break;
    case NodeKind::Stage: out += "stage|"; break;
    case NodeKind::Exchange: out += "exch"; break;
  }
  if (has_name(node.kind())) append_escaped_symbol_text(out, node.name());
  if (node.kind() == NodeKind::External) {
    const DescriptorRef d = node.descriptor_ref();
    for (std::string_view field : {d.kind, d.content_hash, d.framework, d.version, d.io_schema}) {
      append_escaped_symbol_text(out, field);
      out += '|';
    }
    if (d.preprocessing_ref) {
      append_escaped_symbol_text(out, *d.preprocessing_ref);
    } else {
      out += "%-";
    }
  }
  if (node.kind() == NodeKind::Stage) {
    append_decimal(node.member_count());
    for (std::size_t m = 0; m < node.member_count(); ++m) {
      out += '|';
      append_escaped_symbol_text(out, node.member_token(m));
      out += '=';
      bool first = true;
      for (const MemberRef& ref : node.member_refs(m)) {
        if (!first) out += ';';
        first = false;
        out += ref.kind == MemberRefKind::Input ? 'i' : 'm';
        append_decimal(ref.index);
      }
    }
    return;  // a Stage has no params
  }
  if (node.param_count() != 0) {
    out += '|';
    append_params_text(out, node);
  }
}

}  // namespace veltrix
