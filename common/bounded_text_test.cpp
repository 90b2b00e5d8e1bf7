// Tests of the bounded text helpers: exact fits succeed, one unit more stops
// the process before anything is written.
#include "common/bounded_text.h"

#include <gtest/gtest.h>

#include "tests/support/scenario.h"

namespace {

TEST(BoundedText, TextsThatFitExactlyAreCopiedAndAppended) {
  wchar_t buffer[6] = {L'#', L'#', L'#', L'#', L'#', L'#'};
  copy_wide(buffer, 6, L"ab");
  append_wide(buffer, 6, L"cd");
  append_wide_unit(buffer, 6, L'e');  // five units and the NUL: full
  EXPECT_STREQ(buffer, L"abcde");
  EXPECT_EQ(bounded_length(buffer, 6), 5u);
  append_wide(buffer, 6, L"");
  EXPECT_STREQ(buffer, L"abcde");
}

VORBEL_SCENARIO(bounded_append_one_too_many) {
  wchar_t buffer[4];
  copy_wide(buffer, 4, L"abc");
  append_wide_unit(buffer, 4, L'd');
  return 0;
}

VORBEL_SCENARIO(bounded_copy_one_too_many) {
  wchar_t buffer[3];
  copy_wide(buffer, 3, L"abc");
  return 0;
}

VORBEL_SCENARIO(bounded_length_without_nul) {
  wchar_t buffer[3] = {L'a', L'b', L'c'};
  return static_cast<int>(bounded_length(buffer, 3));
}

TEST(BoundedText, OverflowEndsTheProcessThroughAbortWithoutAMessage) {
  for (const char* scenario : {"bounded_append_one_too_many", "bounded_copy_one_too_many", "bounded_length_without_nul"}) {
    ProcessResult result = run_scenario(scenario);
    EXPECT_EQ(result.exit_code, ABORT_STATUS) << scenario;
    EXPECT_EQ(result.out, "") << scenario;
    EXPECT_EQ(result.err.find("Error"), std::string::npos) << scenario;
  }
}

}  // namespace
