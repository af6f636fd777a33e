#include "support/unicode.h"

#include <gtest/gtest.h>

namespace veltrix {
namespace {

struct QuoteCase {
  const char* input;
  const char* expected;
};

class Quoting : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(Quoting, EscapesExactlyWhatCannotBeReadBack) { EXPECT_EQ(quoted(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Cases, Quoting,
                         ::testing::Values(QuoteCase{"", "\"\""}, QuoteCase{"plain 'text'", "\"plain 'text'\""},
                                           QuoteCase{"a\"b\\c", "\"a\\\"b\\\\c\""},
                                           QuoteCase{"\t\r\n", "\"\\t\\r\\n\""},
                                           QuoteCase{"\x01\x7f", "\"\\u{1}\\u{7f}\""},
                                           QuoteCase{"caf\xc3\xa9", "\"caf\xc3\xa9\""},            // é printable
                                           QuoteCase{"e\xcc\x81", "\"e\\u{301}\""},                // combining acute
                                           QuoteCase{"\xe2\x80\x8b", "\"\\u{200b}\""},             // zero width space
                                           QuoteCase{"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},  // emoji printable
                                           QuoteCase{"\xef\xbf\xbf", "\"\\u{ffff}\""}));           // noncharacter

TEST(Quoting, NulBecomesBackslashZero) { EXPECT_EQ(quoted(std::string_view("a\0b", 3)), "\"a\\0b\""); }

TEST(Classification, TablesMatchTheirVersion) {
  EXPECT_STREQ(unicode_tables_version(), "15.1.0");
  EXPECT_TRUE(is_printable(' '));
  EXPECT_FALSE(is_printable(0xA0));      // no-break space is a separator
  EXPECT_FALSE(is_printable(0xE000));    // private use
  EXPECT_FALSE(is_printable(0x10FFFF));  // unassigned
  EXPECT_TRUE(is_grapheme_extend(0x200C));
  EXPECT_TRUE(is_grapheme_extend(0xE0061));
  EXPECT_FALSE(is_grapheme_extend('a'));
}

struct Utf8Case {
  std::string bytes;
  bool valid;
};

class Utf8Validation : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Validation, AcceptsOnlyWellFormedText) { EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(Cases, Utf8Validation,
                         ::testing::Values(Utf8Case{"", true}, Utf8Case{"abc", true}, Utf8Case{"\xc3\xa9", true},
                                           Utf8Case{"\xf4\x8f\xbf\xbf", true}, Utf8Case{"\xc3", false},
                                           Utf8Case{"\xc0\xaf", false}, Utf8Case{"\xe0\x80\xaf", false},
                                           Utf8Case{"\xed\xa0\x80", false}, Utf8Case{"\xf4\x90\x80\x80", false},
                                           Utf8Case{"\x80", false}, Utf8Case{"\xff", false},
                                           Utf8Case{"a\xe2\x82", false}));

}  // namespace
}  // namespace veltrix
