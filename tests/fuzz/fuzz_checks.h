// Checks shared by the fuzz harnesses. A broken property aborts, which libFuzzer reports as a
// crash with the input saved and the replay driver reports as a failed test.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace veltrix::fuzz {

[[noreturn]] inline void broken(const char* property) {
  std::fprintf(stderr, "broken property: %s\n", property);
  std::abort();
}

// Whether a 1-based line and code-point column name a place in `text`: a line that exists and a
// column at most one past that line's last code point (where an error at the end would point).
inline bool names_a_place(std::string_view text, std::size_t line, std::size_t col) {
  if (line == 0 || col == 0) return false;
  std::size_t current = 1;
  std::size_t code_points = 0;
  for (char c : text) {
    if (c == '\n') {
      if (current == line) break;
      ++current;
      code_points = 0;
    } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      ++code_points;
    }
  }
  return current == line && col <= code_points + 1;
}

// The same for a place in some substring of `text` (columns then count from the substring's
// start): a line no later than the last and a column within the longest line.
inline bool names_a_place_in_part(std::string_view text, std::size_t line, std::size_t col) {
  std::size_t lines = 1;
  std::size_t longest = 0;
  std::size_t code_points = 0;
  for (char c : text) {
    if (c == '\n') {
      ++lines;
      code_points = 0;
    } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80 && ++code_points > longest) {
      longest = code_points;
    }
  }
  return line >= 1 && line <= lines && col >= 1 && col <= longest + 1;
}

}  // namespace veltrix::fuzz
