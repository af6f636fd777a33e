// Unicode classification and the one quoting routine for text shown to people.
//
// The quoted form writes a string between double quotes so that every character can be read
// back: backslash and double quote are escaped, tab, carriage return, line feed and NUL become
// \t \r \n \0, and any character that is not printable or is a grapheme-extending mark (which
// would otherwise combine with the quote or the previous escape) becomes \u{hex}. Error messages
// and the DOT rendering both use it.
#pragma once

#include <string>
#include <string_view>

namespace veltrix {

// The Unicode version of the classification tables (fixed at generation time).
const char* unicode_tables_version();

bool is_printable(char32_t code_point);
bool is_grapheme_extend(char32_t code_point);

// Appends `"` + the escaped text + `"`. `utf8` must be valid UTF-8.
void append_quoted(std::string& out, std::string_view utf8);
std::string quoted(std::string_view utf8);

// Decodes one code point from valid UTF-8 at `pos` and advances `pos`.
char32_t decode_utf8(std::string_view utf8, std::size_t& pos);

// True when `bytes` is well-formed UTF-8 (no surrogates, no overlong forms, at most U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

}  // namespace veltrix
