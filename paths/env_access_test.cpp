// Tests of environment access: copies, absent and empty values, the longest
// value, and the widening of names.
#include "paths/env_access.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include "tests/support/scenario.h"
#include "tests/support/test_fs.h"

namespace {

std::wstring take(wchar_t* copy) {
  std::wstring text = copy ? copy : L"<none>";
  free(copy);
  return text;
}

TEST(GetEnvCopy, CopiesPresentValuesAndTreatsEmptyAsAbsent) {
  ScopedEnv set(L"VORBEL_TEST_VALUE", L"some value");
  ScopedEnv empty(L"VORBEL_TEST_EMPTY", L"");
  ScopedEnv absent(L"VORBEL_TEST_ABSENT", std::nullopt);
  EXPECT_EQ(take(get_env_copy(L"VORBEL_TEST_VALUE")), L"some value");
  EXPECT_EQ(take(get_env_copy_narrow("vorbel_test_value")), L"some value");  // names ignore case
  EXPECT_EQ(take(get_env_copy(L"VORBEL_TEST_EMPTY")), L"<none>");
  EXPECT_EQ(take(get_env_copy_narrow("VORBEL_TEST_ABSENT")), L"<none>");
}

TEST(GetEnvCopy, TheLongestValueTheSystemAllowsIsCopiedWhole) {
  std::wstring longest(32766, L'v');  // with "NAME=" and the NUL: the system's limit
  ScopedEnv set(L"VORBEL_TEST_LONG", longest);
  ASSERT_EQ(env_value(L"VORBEL_TEST_LONG"), longest);
  EXPECT_EQ(take(get_env_copy(L"VORBEL_TEST_LONG")), longest);
}

TEST(SetEnvNarrow, SetsAndRemovesInTheProcessAndInTheRuntimesCopies) {
  ScopedEnv restore(L"VORBEL_TEST_SET", std::nullopt);
  set_env_narrow("VORBEL_TEST_SET", L"v\u00e9");
  EXPECT_EQ(env_value(L"VORBEL_TEST_SET"), L"v\u00e9");
  const wchar_t* wide = _wgetenv(L"VORBEL_TEST_SET");
  EXPECT_EQ(std::wstring(wide ? wide : L"<none>"), L"v\u00e9");
  // The narrow copy: whatever the ANSI code page makes of the value, it is there.
  EXPECT_NE(getenv("VORBEL_TEST_SET"), nullptr);
  set_env_narrow("VORBEL_TEST_SET", nullptr);
  EXPECT_EQ(env_value(L"VORBEL_TEST_SET"), std::nullopt);
  EXPECT_EQ(_wgetenv(L"VORBEL_TEST_SET"), nullptr);
  EXPECT_EQ(getenv("VORBEL_TEST_SET"), nullptr);
}

TEST(WidenName, WidensUpToThirtyNineCharacters) {
  wchar_t wide[VARIABLE_NAME_CAPACITY];
  widen_name("VORBEL_ONEFILE_PARENT", wide);
  EXPECT_STREQ(wide, L"VORBEL_ONEFILE_PARENT");
  std::string longest(39, 'N');
  widen_name(longest.c_str(), wide);
  EXPECT_EQ(std::wstring(wide), std::wstring(39, L'N'));
}

TEST(FormatOwnProcessId, IsTheDecimalId) {
  wchar_t text[128];
  format_own_process_id(text, 128);
  EXPECT_EQ(std::wstring(text), std::to_wstring(GetCurrentProcessId()));
}

VORBEL_SCENARIO(widen_forty_characters) {
  wchar_t wide[VARIABLE_NAME_CAPACITY];
  widen_name(std::string(40, 'N').c_str(), wide);
  return 0;
}

TEST(WidenName, FortyCharactersEndTheProcessQuietly) {
  ProcessResult result = run_scenario("widen_forty_characters");
  EXPECT_EQ(result.exit_code, ABORT_STATUS);
  EXPECT_EQ(result.out, "");
}

}  // namespace
