// End-to-end tests: the built launcher started under Wine as a user starts
// it, checked by its streams, exit status and what it leaves on disk.
#include <gtest/gtest.h>

#include "tests/support/process_runner.h"

namespace {

std::wstring launcher() {
  return windows_path(VORBEL_LAUNCHER_EXE);
}

TEST(LauncherWithoutPayload, SaysSoOnStandardOutputWithStatusTwo) {
  ProcessResult result = run_process(launcher(), quote_argument(launcher()) + L" one \"two words\"");
  ASSERT_TRUE(result.started) << result.start_error;
  EXPECT_EQ(result.out, text_mode("Error, couldn't find attached data header.\n"));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_code, 2u);
}

}  // namespace
