// Tests of the failure reports: exact text, stream and exit status of each,
// with the system's own text for error codes read at run time.
#include "common/error_report.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include "tests/support/scenario.h"

namespace {

VORBEL_SCENARIO(fatal_error_message) {
  fatal_error("Error, couldn't find attached data header.");
}

VORBEL_SCENARIO(system_error_code_from_argument) {
  report_system_error("Error, couldn't launch child", static_cast<DWORD>(wcstoul(__wargv[2], nullptr, 0)));
  exit(2);
}

VORBEL_SCENARIO(spec_error) {
  report_spec_error(L"{TEMP}\\onefile_{PID}_{TIME}");
}

VORBEL_SCENARIO(print_error_count) {
  int count = print_error("Error, failed to open '%ls' for writing.\n", L"C:\\x\\y.dll");
  return count;
}

TEST(FatalError, WritesTheLineToStandardOutputAndExitsWithTwo) {
  ProcessResult result = run_scenario("fatal_error_message");
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, text_mode("Error, couldn't find attached data header.\n"));
  EXPECT_EQ(result.err, "");
}

TEST(ReportSystemError, FormatsCodeAndSystemTextOnStandardError) {
  struct Case {
    DWORD code;
    const char* printed_code;
  };
  const Case cases[] = {
      {5, "5"},
      {2, "2"},
      {0x80070005u, "-2147024891"},  // 2^31 and above print as negative numbers
  };
  for (const auto& c : cases) {
    ProcessResult result = run_scenario("system_error_code_from_argument", {}, {std::to_wstring(c.code)});
    std::string text = system_message(c.code);
    ASSERT_FALSE(text.empty()) << "the system has a text for " << c.code;
    EXPECT_EQ(result.err, text_mode(std::string("Error, couldn't launch child ([Error ") + c.printed_code + "] " + text + ")\n"));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.exit_code, 2u);
  }
}

TEST(ReportSystemError, ACodeWithoutSystemTextPrintsNull) {
  const DWORD code = 0x2000FFFFu;  // customer bit set: no system message
  ASSERT_EQ(system_message(code), "");
  ProcessResult result = run_scenario("system_error_code_from_argument", {}, {std::to_wstring(code)});
  EXPECT_EQ(result.err, text_mode("Error, couldn't launch child ([Error 536936447] (null))\n"));
  EXPECT_EQ(result.exit_code, 2u);
}

TEST(ReportSpecError, PrintsTheSpecAsWrittenAndAborts) {
  ProcessResult result = run_scenario("spec_error");
  EXPECT_EQ(result.exit_code, ABORT_STATUS);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err.rfind(text_mode("Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}_{TIME}'.\n"), 0), 0u)
      << result.err;
}

TEST(PrintError, WritesFormattedTextToStandardErrorAndCountsIt) {
  ProcessResult result = run_scenario("print_error_count");
  const std::string expected = "Error, failed to open 'C:\\x\\y.dll' for writing.\n";
  EXPECT_EQ(result.err, text_mode(expected));
  EXPECT_EQ(result.exit_code, expected.size());
}

}  // namespace
