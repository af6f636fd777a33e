#include "egraph/sexpr.h"

#include "support/unicode.h"

namespace veltrix::egraph {
namespace {

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  Result<SExpr, ParseError> expression() {
    skip_blanks();
    if (at_end()) return error("End of file reached");
    switch (peek()) {
      case '"': return quoted_string();
      case ')': return error("Unexpected )");
      case '(': return list();
      default: return atom();
    }
  }

 private:
  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }

  // Columns count code points, so only the first byte of a UTF-8 sequence advances the column.
  void advance() {
    const char c = text_[pos_++];
    if (c == '\n') {
      ++line_;
      col_ = 0;
    } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      ++col_;
    }
  }

  void skip_blanks() {
    while (!at_end() && (peek() == ' ' || peek() == '\t')) advance();
  }

  void skip_whitespace() {
    while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) advance();
  }

  Err<ParseError> error(const char* msg) const { return make_err(ParseError{msg, line_ + 1, col_ + 1}); }

  Result<SExpr, ParseError> quoted_string() {
    advance();
    const std::size_t start = pos_;
    // A quote ends the string unless a backslash directly precedes it; backslashes stay as
    // they are.
    while (!at_end() && !(peek() == '"' && text_[pos_ - 1] != '\\')) advance();
    if (at_end()) return error("End of file reached");
    std::string content(text_.substr(start, pos_ - start));
    advance();
    return SExpr::string(std::move(content));
  }

  Result<SExpr, ParseError> list() {
    if (depth_ == kMaxSexprDepth) return error("Lists nested too deeply");
    ++depth_;
    advance();
    std::vector<SExpr> items;
    for (;;) {
      skip_whitespace();
      if (!at_end() && peek() == ')') break;
      Result<SExpr, ParseError> item = expression();
      if (!item.ok()) return make_err(std::move(item).error());
      items.push_back(std::move(item).value());
    }
    advance();
    skip_blanks();
    --depth_;
    return SExpr::list(std::move(items));
  }

  Result<SExpr, ParseError> atom() {
    const std::size_t start = pos_;
    while (!at_end()) {
      const char c = peek();
      if (c == '\n' || c == '\r' || c == ' ' || c == '(' || c == ')') break;
      advance();
    }
    return SExpr::string(std::string(text_.substr(start, pos_ - start)));
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t line_ = 0;
  std::size_t col_ = 0;
  std::size_t depth_ = 0;  // lists open at the current position
};

}  // namespace

std::string SExpr::debug_string() const {
  switch (kind) {
    case Kind::String: return "String(" + quoted(text) + ")";
    case Kind::List: {
      std::string out = "List([";
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (i != 0) out += ", ";
        out += items[i].debug_string();
      }
      return out + "])";
    }
    case Kind::Empty: break;
  }
  return "Empty";
}

std::string ParseError::debug_string() const {
  return "ParseError { msg: " + quoted(msg) + ", line: " + std::to_string(line) + ", col: " + std::to_string(col) +
         " }";
}

Result<SExpr, ParseError> read_sexpr(std::string_view text) {
  if (text.empty()) return SExpr::empty();
  return Reader(text).expression();
}

}  // namespace veltrix::egraph
