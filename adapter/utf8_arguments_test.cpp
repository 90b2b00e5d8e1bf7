// Tests of the argument conversion the adapter hands to main: every argument
// in UTF-8, in order, with the terminating null pointer main may rely on.
#include "adapter/utf8_arguments.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Utf8Arguments, GivesEveryArgumentInUtf8WithANullAfterTheLast) {
  wchar_t program[] = L"C:\\x\\app.exe";
  wchar_t empty[] = L"";
  wchar_t accents[] = L"caf\u00e9 \u00fcber";
  wchar_t wide[] = L"\u6587\u4ef6";
  wchar_t emoji[] = L"\U0001F600";
  wchar_t lone_surrogate[] = {L'a', 0xD800, L'b', 0};
  wchar_t* argv[] = {program, empty, accents, wide, emoji, lone_surrogate, nullptr};
  char** result = utf8_arguments(6, argv);
  ASSERT_NE(result, nullptr);
  EXPECT_STREQ(result[0], "C:\\x\\app.exe");
  EXPECT_STREQ(result[1], "");
  EXPECT_STREQ(result[2],
               "caf\xC3\xA9 \xC3\xBC"
               "ber");
  EXPECT_STREQ(result[3], "\xE6\x96\x87\xE4\xBB\xB6");
  EXPECT_STREQ(result[4], "\xF0\x9F\x98\x80");
  EXPECT_STREQ(result[5],
               "a\xEF\xBF\xBD"
               "b");  // U+FFFD for what UTF-8 cannot hold
  EXPECT_EQ(result[6], nullptr);
  free(result);
}

TEST(Utf8Arguments, NoArgumentsGiveAnEmptyVector) {
  char** result = utf8_arguments(0, nullptr);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result[0], nullptr);
  free(result);
}

}  // namespace
