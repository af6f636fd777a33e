// libFuzzer harness for the s-expression reader.
//
// Any text must read into an expression or a ParseError. An error must have a message and name a
// place in the text; an expression must have a debug form. An expression written back as text
// (atoms bare where the reader allows, quoted otherwise) must read into the same expression:
// that holds for every expression the writer below can express, and catches a reader whose
// result depends on where an item sits (first or last in a list, at the top or nested).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "egraph/sexpr.h"
#include "fuzz_checks.h"

namespace {

using veltrix::egraph::SExpr;
using veltrix::fuzz::broken;

// An atom ends at a space, line break or parenthesis, a leading tab is skipped and a leading
// quote opens a quoted string, so only other texts can be written bare.
bool writes_bare(std::string_view text) {
  return !text.empty() && text.front() != '\t' && text.front() != '"' &&
         text.find_first_of(" \n\r()") == std::string_view::npos;
}

// A quoted string ends at the first quote not preceded by a backslash and keeps backslashes, so
// it cannot hold a bare quote or end in a backslash.
bool writes_quoted(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"' && (i == 0 || text[i - 1] != '\\')) return false;
  }
  return text.empty() || text.back() != '\\';
}

std::optional<std::string> write(const SExpr& expr) {
  if (expr.kind == SExpr::Kind::String) {
    if (writes_bare(expr.text)) return expr.text;
    if (writes_quoted(expr.text)) return "\"" + expr.text + "\"";
    return std::nullopt;
  }
  if (expr.kind == SExpr::Kind::Empty) return std::string();
  std::string out = "(";
  for (const SExpr& item : expr.items) {
    std::optional<std::string> text = write(item);
    if (!text) return std::nullopt;
    if (out.size() > 1) out += ' ';
    out += *text;
  }
  return out + ")";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  veltrix::Result<SExpr, veltrix::egraph::ParseError> read = veltrix::egraph::read_sexpr(input);
  if (!read.ok()) {
    const veltrix::egraph::ParseError& error = read.error();
    if (error.msg.empty()) broken("every error has a message");
    if (!veltrix::fuzz::names_a_place(input, error.line, error.col)) broken("an error names a place in the text");
    if (error.debug_string().empty()) broken("an error has a debug form");
    return 0;
  }
  if (read.value().debug_string().empty()) broken("an expression has a debug form");
  const std::optional<std::string> written = write(read.value());
  if (!written) return 0;
  veltrix::Result<SExpr, veltrix::egraph::ParseError> again = veltrix::egraph::read_sexpr(*written);
  if (!again.ok() || again.value() != read.value()) broken("a written expression reads back");
  return 0;
}
