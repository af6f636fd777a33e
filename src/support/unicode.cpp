#include "support/unicode.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace veltrix {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

#include "support/unicode_tables.inc"

template <std::size_t N>
bool in_ranges(const CodePointRange (&ranges)[N], char32_t cp) {
  const auto* it = std::upper_bound(std::begin(ranges), std::end(ranges), cp,
                                    [](char32_t value, const CodePointRange& r) { return value < r.first; });
  return it != std::begin(ranges) && cp <= std::prev(it)->last;
}

void append_hex_escape(std::string& out, char32_t cp) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char buffer[8];
  int n = 0;
  do {
    buffer[n++] = kDigits[cp & 0xF];
    cp >>= 4;
  } while (cp != 0);
  out += "\\u{";
  while (n > 0) out += buffer[--n];
  out += '}';
}

}  // namespace

const char* unicode_tables_version() { return kUnicodeVersion; }

bool is_printable(char32_t cp) {
  if (cp >= 0x20 && cp < 0x7F) return true;
  return !in_ranges(kNotPrintableRanges, cp);
}

bool is_grapheme_extend(char32_t cp) {
  if (cp < 0x300) return false;
  return in_ranges(kGraphemeExtendRanges, cp);
}

char32_t decode_utf8(std::string_view s, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
  char32_t cp = lead & (0x3F >> extra);
  for (int i = 1; i <= extra && pos + i < s.size(); ++i) cp = (cp << 6) | (byte(pos + i) & 0x3F);
  pos += static_cast<std::size_t>(extra) + 1;
  return cp;
}

bool is_valid_utf8(std::string_view s) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t extra;
    char32_t min;
    char32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, min = 0x80, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, min = 0x800, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, min = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const unsigned char cont = static_cast<unsigned char>(s[i + k]);
      if ((cont & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cont & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

void append_quoted(std::string& out, std::string_view utf8) {
  out += '"';
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const std::size_t start = pos;
    const char32_t cp = decode_utf8(utf8, pos);
    switch (cp) {
      case '\\': out += "\\\\"; continue;
      case '"': out += "\\\""; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (is_printable(cp) && !is_grapheme_extend(cp)) {
      out.append(utf8.substr(start, pos - start));
    } else {
      append_hex_escape(out, cp);
    }
  }
  out += '"';
}

std::string quoted(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  append_quoted(out, utf8);
  return out;
}

}  // namespace veltrix
