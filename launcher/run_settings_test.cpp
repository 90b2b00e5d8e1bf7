// Tests of the settings record in use: run_code's arguments from built-in
// arguments, {CONTENTS} and exact user arguments, the child's line keeping
// empty arguments, and the one message for a damaged record.
#include "launcher/run_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/bounded_text.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "launcher/child_launch.h"
#include "payload/launch_settings_format.h"
#include "tests/support/scenario.h"
#include "tests/support/system_call_override.h"

namespace {

std::string record(uint8_t version, uint32_t flags, const std::vector<std::wstring>& arguments) {
  std::string bytes(LAUNCH_SETTINGS_HEADER_SIZE, '\0');  // the reserved field stays 0
  bytes.replace(0, sizeof LAUNCH_SETTINGS_MAGIC, "VLS");
  bytes[LAUNCH_SETTINGS_VERSION_OFFSET] = static_cast<char>(version);
  for (size_t i = 0; i < 4; ++i) bytes[LAUNCH_SETTINGS_FLAGS_OFFSET + i] = static_cast<char>(flags >> (8 * i));
  for (size_t i = 0; i < 2; ++i)
    bytes[LAUNCH_SETTINGS_COUNT_OFFSET + i] = static_cast<char>(arguments.size() >> (8 * i));
  for (const std::wstring& argument : arguments) {
    for (wchar_t unit : argument + L'\0') {
      bytes += static_cast<char>(unit & 0xFF);
      bytes += static_cast<char>(unit >> 8);
    }
  }
  return bytes;
}

void use(const std::string& bytes) {
  use_launch_settings(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::wstring fake_line;
LPWSTR WINAPI fake_command_line() { return fake_line.data(); }

// The settings, the extraction directory and the command line of one case,
// put back afterwards. The record stays with the case: the settings in use
// point into it, as the launcher's point into its resource.
struct SettingsCase {
  SettingsCase(const std::string& record_bytes, const std::wstring& line)
      : bytes(record_bytes), fake(system_calls.GetCommandLineW, fake_command_line) {
    copy_wide(saved_dir, PATH_CAPACITY, extraction_dir);
    copy_wide(extraction_dir, PATH_CAPACITY, L"C:\\Temp\\onefile_7_8");
    fake_line = line;
    use(bytes);
  }
  ~SettingsCase() {
    copy_wide(extraction_dir, PATH_CAPACITY, saved_dir);
    use_launch_settings(nullptr, 0);
  }
  std::vector<std::wstring> arguments() {
    int count = 0;
    wchar_t** values = application_arguments(&count);
    std::vector<std::wstring> seen(values, values + count);
    EXPECT_EQ(values[count], nullptr);
    return seen;
  }
  std::string bytes;
  wchar_t saved_dir[PATH_CAPACITY];
  SystemCallOverride<decltype(SystemCalls::GetCommandLineW)> fake;
};

TEST(ApplicationArguments, BuiltInArgumentsComeFirstWithContentsAndBracesResolved) {
  SettingsCase run(record(1, LAUNCH_EXACT_ARGUMENTS,
                          {L"{CONTENTS}\\main.lua", L"{{CONTENTS}}", L"*.txt", L"", L"}}{CONTENTS}{CONTENTS}{{"}),
                   L"\"C:\\p\\app.exe\" a");
  EXPECT_EQ(run.arguments(),
            (std::vector<std::wstring>{L"C:\\p\\app.exe", L"C:\\Temp\\onefile_7_8\\main.lua", L"{CONTENTS}", L"*.txt",
                                       L"", L"}C:\\Temp\\onefile_7_8C:\\Temp\\onefile_7_8{", L"a"}));
}

TEST(ApplicationArguments, ExactArgumentsAreTheCommandLineSplitWithEmptiesAndWildcardsKept) {
  SettingsCase run(record(1, LAUNCH_EXACT_ARGUMENTS, {}),
                   L"\"C:\\p\\app.exe\" \"\" *.txt \"*\" \"say \\\"hi\\\"\" a\\\\b\\\\ \"\"\"\"");
  EXPECT_EQ(run.arguments(),
            (std::vector<std::wstring>{L"C:\\p\\app.exe", L"", L"*.txt", L"*", L"say \"hi\"", L"a\\\\b\\\\", L"\""}));
}

TEST(ApplicationArguments, WithoutExactArgumentsTheRuntimesArgumentsFollowTheBuiltInOnes) {
  // A wildcard in a built-in argument is never matched against files: the
  // runtime has expanded the user's arguments before it is put in.
  SettingsCase run(record(1, 0, {L"*.exe"}), L"unused");
  std::vector<std::wstring> expected = {__wargv[0], L"*.exe"};
  for (int i = 1; i < __argc; ++i) expected.push_back(__wargv[i]);
  EXPECT_EQ(run.arguments(), expected);
}

TEST(BuildChildCommandLine, ExactArgumentsKeepEmptyArgumentsForTheChild) {
  SettingsCase run(record(1, LAUNCH_EXACT_ARGUMENTS, {}), L"typed.exe \"\" x \"\"");
  build_child_command_line();
  std::wstring line = child_command_line;
  EXPECT_EQ(line.substr(line.size() - 8), L" \"\" x \"\"");
}

// Each a record the launcher must refuse, by index.
const std::string DAMAGED[] = {
    std::string("VL"),                                                 // shorter than its header
    "XLS" + record(1, 0, {}).substr(3),                                // another magic
    record(4, 0, {}),                                                  // a later version
    record(1, 1u << 5, {}),                                            // a flag not defined
    record(2, LAUNCH_PROGRESS_WINDOW, {}),                             // a flag of a later version
    record(1, LAUNCH_CACHED, {}),                                      // the cached mode in version 1
    record(2, LAUNCH_CACHED, {}),                                      // ... without its section
    record(1, 0, {L"a"}) + std::string(2, '\0'),                       // a unit after the last argument
    record(1, 0, {L"a", L"b"}).substr(0, 16),                          // fewer arguments than counted
    record(1, 0, {L"{CONTENT}"}),                                      // a brace that is no placeholder
    record(1, 0, {L"a}"}),                                             // a lone closing brace
    record(1, 0, {std::wstring(LAUNCH_SETTINGS_MAX_SIZE / 2, L'a')}),  // beyond the size bound
};

VORBEL_SCENARIO(damaged_settings) {
  use(DAMAGED[wcstoul(__wargv[2], nullptr, 10)]);
  return 0;
}

TEST(LaunchSettings, ADamagedRecordStopsTheRunWithOneLineAndStatusTwo) {
  for (size_t i = 0; i < std::size(DAMAGED); ++i) {
    ProcessResult result = run_scenario("damaged_settings", {}, {std::to_wstring(i)});
    EXPECT_EQ(result.exit_code, 2u) << "record " << i;
    EXPECT_EQ(result.out, text_mode("Error, the packed program's settings are damaged.\n")) << "record " << i;
  }
}

}  // namespace
