// Tests of the UTF-8 / UTF-16 conversions entry names go through: every
// well-formed range round-trips, every ill-formed sequence is refused.
// Host only; no files.
#include "packer/utf.h"

#include <gtest/gtest.h>

namespace vorbel::pack {
namespace {

struct WellFormed {
  const char* what;
  std::string utf8;
  std::u16string utf16;
};

TEST(Utf, WellFormedTextConvertsBothWaysUnchanged) {
  const WellFormed cases[] = {
      {"empty", "", u""},
      {"ASCII", "app.dll", u"app.dll"},
      {"Latin-1", "Gr\xC3\xBC\xC3\x9F", u"Gr\u00FC\u00DF"},
      {"CJK", "\xE6\x96\x87\xE4\xBB\xB6", u"\u6587\u4EF6"},
      {"emoji outside the BMP", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
      {"highest code point", "\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
      {"last before surrogates", "\xED\x9F\xBF", u"\uD7FF"},
      {"first after surrogates", "\xEE\x80\x80", u"\uE000"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8_to_utf16(c.utf8), c.utf16) << c.what;
    EXPECT_EQ(utf16_to_utf8(c.utf16), c.utf8) << c.what;
  }
}

TEST(Utf, IllFormedUtf8IsRefused) {
  const std::pair<const char*, std::string> cases[] = {
      {"overlong slash", "\xC0\xAF"},
      {"overlong NUL", "\xC0\x80"},
      {"overlong three-byte", "\xE0\x80\xAF"},
      {"overlong four-byte", "\xF0\x80\x80\xAF"},
      {"encoded high surrogate", "\xED\xA0\x80"},
      {"encoded low surrogate", "\xED\xBF\xBF"},
      {"above U+10FFFF", "\xF4\x90\x80\x80"},
      {"five-byte lead", "\xF8\x88\x80\x80\x80"},
      {"stray continuation",
       "a\x80"
       "b"},
      {"cut-off sequence at the end", "ab\xE6\x96"},
      {"lead followed by ASCII",
       "\xC3"
       "A"},
      {"Latin-1 byte, not UTF-8", "caf\xE9"},
  };
  for (const auto& [what, bytes] : cases) EXPECT_FALSE(utf8_to_utf16(bytes)) << what;
}

TEST(Utf, UnpairedSurrogatesAreRefused) {
  const std::u16string cases[] = {u"a\xD800",
                                  u"\xDC00"
                                  u"a",
                                  u"\xDBFF\xDBFF", u"\xDE00\xD83D"};
  for (const auto& text : cases) EXPECT_FALSE(utf16_to_utf8(text));
}

TEST(Utf, PrintableKeepsTextOnOneLineAndMarksWhatCannotBeShown) {
  EXPECT_EQ(printable(std::string("a\nb\x7F\xC3\xBC\xFF")), "a\\x0Ab\\x7F\xC3\xBC\\xFF");
  EXPECT_EQ(printable(std::u16string(u"x\tz\xD800\u00FC")), "x\\x09z\\uD800\xC3\xBC");
}

}  // namespace
}  // namespace vorbel::pack
