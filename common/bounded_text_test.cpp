// Tests of the bounded text cursor: exact fits succeed, one unit more stops
// the process before anything is written, and a system call's result that
// filled its room (a cut path) is a stop too.
#include "common/bounded_text.h"

#include <gtest/gtest.h>

#include "tests/support/scenario.h"

namespace {

TEST(BoundedText, TextsThatFitExactlyAreCopiedAndAppended) {
  wchar_t buffer[6] = {L'#', L'#', L'#', L'#', L'#', L'#'};
  TextCursor text = text_start(buffer, 6);
  text_append(&text, L"ab");
  text_append(&text, L"cd");
  text_append_unit(&text, L'e');  // five units and the NUL: full
  EXPECT_STREQ(buffer, L"abcde");
  EXPECT_EQ(text.length, 5u);
  text_append(&text, L"");
  EXPECT_FALSE(text_try_append_unit(&text, L'f'));
  EXPECT_FALSE(text_try_append(&text, L"f"));
  EXPECT_STREQ(buffer, L"abcde") << "a failed try leaves the text as it was";
  EXPECT_EQ(text_resume(buffer, 6).length, 5u);
}

TEST(BoundedText, CutsAreUndoneInTurnAndFrontsDropped) {
  wchar_t buffer[16];
  TextCursor path = text_start(buffer, 16);
  text_append(&path, L"a\\bb\\ccc");
  text_cut(&path, 4);  // a\bb
  text_cut(&path, 1);  // a
  EXPECT_STREQ(buffer, L"a");
  text_rejoin(&path, L'\\');
  EXPECT_STREQ(buffer, L"a\\bb");
  text_rejoin(&path, L'\\');
  EXPECT_STREQ(buffer, L"a\\bb\\ccc");
  EXPECT_EQ(path.length, 8u);
  text_drop_front(&path, 2);
  EXPECT_STREQ(buffer, L"bb\\ccc");
  EXPECT_EQ(path.length, 6u);
}

VORBEL_SCENARIO(bounded_append_one_too_many) {
  wchar_t buffer[4];
  TextCursor text = text_start(buffer, 4);
  text_append(&text, L"abc");
  text_append_unit(&text, L'd');
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

// GetModuleFileNameW on a buffer too small: the path comes back cut to the
// room, terminated, and its length is the room.
VORBEL_SCENARIO(bounded_system_result_filled_the_room) {
  wchar_t buffer[4];
  TextCursor text = text_start(buffer, 4);
  wcscpy(buffer, L"abc");
  text_extend(&text, 4);
  return 0;
}

TEST(BoundedText, OverflowEndsTheProcessThroughAbortWithoutAMessage) {
  for (const char* scenario : {"bounded_append_one_too_many", "bounded_copy_one_too_many",
                               "bounded_length_without_nul", "bounded_system_result_filled_the_room"}) {
    ProcessResult result = run_scenario(scenario);
    EXPECT_EQ(result.exit_code, ABORT_STATUS) << scenario;
    EXPECT_EQ(result.out, "") << scenario;
    EXPECT_EQ(result.err.find("Error"), std::string::npos) << scenario;
  }
}

}  // namespace
