// Tests of directory spec expansion: scanning, limits, trimming and every
// variable, with and without the environment variables that feed {PID} and
// {TIME}. Values the system decides (temp and profile folders) are asked of
// the system at run time, never written down here.
#include "paths/path_spec.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <cwchar>
#include <string>
#include <vector>

#include "common/launcher_names.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "tests/support/product_expected.h"
#include "tests/support/scenario.h"
#include "tests/support/system_call_override.h"
#include "tests/support/test_fs.h"

namespace {

struct Expansion {
  bool ok;
  std::wstring text;
  bool operator==(const Expansion&) const = default;
};

void PrintTo(const Expansion& e, std::ostream* os) {
  *os << (e.ok ? "true, \"" : "false, \"") << narrow(e.text) << "\"";
}

Expansion expand(const std::wstring& spec, size_t capacity = 4096) {
  std::vector<wchar_t> output(capacity + 8, L'#');  // '#' beyond capacity shows any overrun
  bool ok = expand_path_spec(output.data(), spec.c_str(), capacity);
  for (size_t i = capacity; i < output.size(); ++i) EXPECT_EQ(output[i], L'#') << "written past the capacity";
  return {ok, output.data()};
}

std::wstring temp_dir_without_backslash() {
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  std::wstring text = temp;
  while (!text.empty() && text.back() == L'\\') text.pop_back();
  return text;
}

std::wstring shell_folder(int csidl) {
  wchar_t path[MAX_PATH];
  EXPECT_EQ(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
  std::wstring text = path;
  while (!text.empty() && text.back() == L'\\') text.pop_back();
  return text;
}

// Replaces argv[0] of the runtime's wide argument vector for a scope.
class ScopedArgv0 {
 public:
  explicit ScopedArgv0(const wchar_t* argv0) : saved_(__wargv) {
    arguments_[0] = const_cast<wchar_t*>(argv0);
    __wargv = arguments_;
  }
  ~ScopedArgv0() { __wargv = saved_; }

 private:
  wchar_t** saved_;
  wchar_t* arguments_[2] = {nullptr, nullptr};
};

TEST(ExpandPathSpec, ScansLiteralsAndReferences) {
  ScopedEnv start(L"VORBEL_ONEFILE_START", L"42");
  struct Case {
    const wchar_t* spec;
    size_t capacity;
    bool ok;
    const wchar_t* text;
  };
  const Case cases[] = {
      {L"", 4096, true, L""},
      {L"plain\\text", 4096, true, L"plain\\text"},
      {L"x{}", 4096, false, L"x"},
      {L"x{NOPE}y", 4096, false, L"x"},
      {L"x{TIME }", 4096, false, L"x"},       // blanks belong to the name
      {L"a{AB{TIME}b", 4096, true, L"a42b"},  // a second "{" restarts the name
      {L"abc{TIME", 4096, true, L"abc"},      // an open reference at the end is dropped
      {L"a}b", 4096, true, L"a}b"},           // "}" outside a reference is a literal
      {L"{time}-{Time}", 4096, true, L"42-42"},
      {L"ab", 3, true, L"ab"},
      {L"ab", 2, false, L"a"},
      {L"ab", 1, false, L""},
  };
  for (const auto& c : cases) {
    Expansion result = expand(c.spec, c.capacity);
    EXPECT_EQ(result.ok, c.ok) << c.spec;
    EXPECT_EQ(result.text, c.text) << c.spec;
  }
}

TEST(ExpandPathSpec, ReferenceNamesBeyondTheNameBufferFail) {
  std::wstring spec = L"x{" + std::wstring(1023, L'A') + L"}";
  EXPECT_EQ(expand(spec).ok, false);
  spec = L"x{" + std::wstring(5000, L'A') + L"}";
  Expansion result = expand(spec);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.text, L"x");
}

TEST(ExpandPathSpec, TempIsTheTemporaryDirectoryWithoutTrailingBackslash) {
  EXPECT_EQ(expand(L"{TEMP}").text, temp_dir_without_backslash());
  EXPECT_EQ(expand(L"{TEMP}\\x").text, temp_dir_without_backslash() + L"\\x");
}

DWORD WINAPI temp_path_with_trailing_backslashes(DWORD length, LPWSTR buffer) {
  const wchar_t value[] = L"T:\\tmp\\\\\\";
  if (length < sizeof value / sizeof value[0]) return sizeof value / sizeof value[0];
  wcscpy(buffer, value);
  return sizeof value / sizeof value[0] - 1;
}

TEST(ExpandPathSpec, TrimmingRemovesEveryTrailingBackslashEvenBeforeTheValue) {
  SystemCallOverride fake(system_calls.GetTempPathW, temp_path_with_trailing_backslashes);
  EXPECT_EQ(expand(L"{TEMP}").text, L"T:\\tmp");
  EXPECT_EQ(expand(L"{TEMP}\\").text, L"T:\\tmp\\");  // only right after the value
  EXPECT_EQ(expand(L"{TEMP}x").text, L"T:\\tmpx");
}

DWORD WINAPI temp_path_unavailable(DWORD, LPWSTR) {
  return 0;
}

TEST(ExpandPathSpec, AnEmptyTempValueTrimsTheLiteralBeforeIt) {
  SystemCallOverride fake(system_calls.GetTempPathW, temp_path_unavailable);
  EXPECT_EQ(expand(L"a\\\\{TEMP}b"), (Expansion{true, L"ab"}));
  EXPECT_EQ(expand(L"\\{TEMP}"), (Expansion{true, L""}));  // never in front of the output
}

TEST(ExpandPathSpec, TempThatDoesNotFitIsEmptyAndNeverFails) {
  std::wstring temp = temp_dir_without_backslash();
  // Room for "x" and the NUL only: the temporary path does not fit.
  EXPECT_EQ(expand(L"{TEMP}x", 2), (Expansion{true, L"x"}));
  // Exactly room for the path with its backslash and the NUL.
  EXPECT_EQ(expand(L"{TEMP}", temp.size() + 2).text, temp);
}

TEST(ExpandPathSpec, HomeAndCacheDirAreTheShellFoldersTrimmed) {
  ScopedEnv no_variable(L"LOCALAPPDATA", std::nullopt);
  EXPECT_EQ(expand(L"{HOME}").text, shell_folder(CSIDL_PROFILE));
  EXPECT_EQ(expand(L"{HOME}\\").text, shell_folder(CSIDL_PROFILE) + L"\\");
  EXPECT_EQ(expand(L"{CACHE_DIR}").text, shell_folder(CSIDL_LOCAL_APPDATA));
}

HRESULT WINAPI shell_folder_fails(HWND, int, HANDLE, DWORD, LPWSTR) {
  return E_FAIL;
}

TEST(ExpandPathSpec, ShellFolderFailureFails) {
  ScopedEnv no_variable(L"LOCALAPPDATA", std::nullopt);
  SystemCallOverride fake(system_calls.SHGetFolderPathW, shell_folder_fails);
  EXPECT_EQ(expand(L"a{HOME}b"), (Expansion{false, L"a"}));
  EXPECT_EQ(expand(L"a{CACHE_DIR}b"), (Expansion{false, L"a"}));
}

// A start must not load the shell for it: the variable is taken whenever it
// is an absolute path to an existing directory, and only then.
TEST(ExpandPathSpec, CacheDirIsLocalAppDataWhenThatIsAnExistingAbsoluteDirectory) {
  ScratchDir scratch;
  write_file(scratch.path() / L"file", "x");
  const std::wstring dir = scratch.str();
  SystemCallOverride no_shell(system_calls.SHGetFolderPathW, shell_folder_fails);
  for (const std::wstring& value : {dir, dir + L"\\"}) {
    ScopedEnv variable(L"LOCALAPPDATA", value);
    EXPECT_EQ(expand(L"{CACHE_DIR}\\x"), (Expansion{true, dir + L"\\x"}));
  }
  for (const std::wstring& value : {std::wstring(L"relative\\dir"), dir + L"\\missing", dir + L"\\file"}) {
    ScopedEnv variable(L"LOCALAPPDATA", value);
    EXPECT_FALSE(expand(L"{CACHE_DIR}").ok) << "left to the shell, which fails here";
  }
}

TEST(ExpandPathSpec, ProductAndVersionAreTheBuiltInStrings) {
  EXPECT_EQ(expand(L"{PRODUCT}-{VERSION}").text, widen(EXPECTED_PRODUCT_NAME_UTF8 + "-" + EXPECTED_PRODUCT_VERSION_UTF8));
}

TEST(ExpandPathSpec, ProgramVariablesComeFromArgvZero) {
  struct Case {
    const wchar_t* argv0;
    const wchar_t* spec;
    const wchar_t* text;
  };
  const Case cases[] = {
      {L"C:\\d\\App.EXE", L"{PROGRAM}", L"C:\\d\\App.EXE"},
      {L"C:\\d\\App.EXE", L"{PROGRAM_BASE}", L"C:\\d\\App"},
      {L"x.exe", L"{PROGRAM_BASE}", L"x"},
      {L"exe", L"{PROGRAM_BASE}", L"exe"},
      {L".exe", L"{PROGRAM_BASE}", L""},
      {L"tool.exe.txt", L"{PROGRAM_BASE}", L"tool.exe.txt"},
      {L"C:\\d\\app.exe", L"{PROGRAM_DIR}", L"C:\\d"},
      {L"app.exe", L"{PROGRAM_DIR}", L"app.exe"},
      {L"\\app.exe", L"{PROGRAM_DIR}", L""},
      {L"C:\\app.exe", L"{PROGRAM_DIR}", L"C:"},
      {L"C:\\dir\\", L"{PROGRAM}", L"C:\\dir\\"},  // no trimming
      {L"C:\\d\\a.exe", L"pre\\{PROGRAM_DIR}\\post", L"pre\\C:\\d\\post"},
  };
  for (const auto& c : cases) {
    ScopedArgv0 argv0(c.argv0);
    EXPECT_EQ(expand(c.spec), (Expansion{true, c.text})) << c.argv0 << " " << c.spec;
  }
}

TEST(ExpandPathSpec, ProgramBaseNeedsRoomForTheWholeProgramFirst) {
  // "ab" alone would fit in 3 units; the nested {PROGRAM} needs all 7.
  ScopedArgv0 argv0(L"ab.exe");
  EXPECT_EQ(expand(L"{PROGRAM_BASE}", 7), (Expansion{true, L"ab"}));
}

// Sets the id {PID} yields for one scope, as the role check does.
struct ScopedSpecProcessId {
  explicit ScopedSpecProcessId(unsigned long id) { spec_process_id = id; }
  ~ScopedSpecProcessId() { spec_process_id = 0; }
};

TEST(ExpandPathSpec, PidIsTheDecidedIdOrTheOwnNeverTheVariablesText) {
  std::wstring own = std::to_wstring(GetCurrentProcessId());
  ScopedSpecProcessId undecided(0);
  EXPECT_EQ(expand(L"{PID}").text, own);
  {
    ScopedSpecProcessId decided(4242);
    ScopedEnv parent(L"VORBEL_ONEFILE_PARENT", L"0004242");
    EXPECT_EQ(expand(L"{pid}").text, L"4242");
  }
  for (const wchar_t* text : {L"", L"12a4", L"..\\x"}) {
    ScopedEnv parent(L"VORBEL_ONEFILE_PARENT", text);
    EXPECT_EQ(expand(L"{PID}").text, own);
  }
}

TEST(ExpandPathSpec, TimeIsStoredOnFirstUseAndReusedVerbatim) {
  ScopedEnv start(L"VORBEL_ONEFILE_START", std::nullopt);
  Expansion first = expand(L"{TIME}|{TIME}");
  ASSERT_TRUE(first.ok);
  std::wstring stamp = first.text.substr(0, first.text.find(L'|'));
  EXPECT_EQ(first.text, stamp + L"|" + stamp);
  EXPECT_EQ(stamp.size(), 18u);  // present-day FILETIME counts have 18 digits
  EXPECT_EQ(stamp.find_first_not_of(L"0123456789"), std::wstring::npos);
  EXPECT_EQ(env_value(L"VORBEL_ONEFILE_START"), stamp);
  EXPECT_EQ(expand(L"{TIME}").text, stamp);
}

TEST(ExpandPathSpec, AnInheritedTimeIsTakenOnlyWhenItIsAFiletimeCount) {
  struct Case {
    const wchar_t* value;
    bool taken;
  };
  const Case cases[] = {
      {L"0", true},
      {L"134116992000000000", true},
      {L"18446744073709551615", true},    // the largest count
      {L"18446744073709551616", false},   // one more
      {L"000000000000000000001", false},  // 21 digits
      {L"x\\..\\..\\victim", false},
      {L"..", false},
      {L"any\\text {x}", false},
      {L"-1", false},
      {L"+1", false},
      {L" 1", false},
      {L"1 ", false},
      {L"12a", false},
      {L"\uFF11\uFF12", false},  // fullwidth digits
  };
  for (const Case& c : cases) {
    ScopedEnv preset(L"VORBEL_ONEFILE_START", c.value);
    Expansion time = expand(L"{TIME}");
    ASSERT_TRUE(time.ok);
    if (c.taken) {
      EXPECT_EQ(time.text, c.value);
      continue;
    }
    // As if unset: the current time, stored for the instances to come.
    EXPECT_EQ(time.text.size(), 18u) << narrow(c.value);
    EXPECT_EQ(time.text.find_first_not_of(L"0123456789"), std::wstring::npos) << narrow(c.value);
    EXPECT_EQ(env_value(L"VORBEL_ONEFILE_START"), time.text) << narrow(c.value);
  }
}

TEST(ExpandPathSpec, DefaultSpecGivesTheSameDirectoryInBothInstances) {
  ScopedSpecProcessId parent(4242);
  ScopedEnv start(L"VORBEL_ONEFILE_START", L"134116992000000000");
  EXPECT_EQ(expand(as_wide(EXTRACTION_DIR_SPEC)).text, temp_dir_without_backslash() + L"\\onefile_4242_134116992000000000");
}

// Stops: a value that does not fit, no argv[0].

VORBEL_SCENARIO(expand_value_over_capacity) {
  wchar_t output[1];
  expand_path_spec(output, L"{PRODUCT}", 1);
  return 0;
}

VORBEL_SCENARIO(expand_program_without_argv) {
  wchar_t* none[1] = {nullptr};
  __wargv = none;
  wchar_t output[64];
  expand_path_spec(output, L"{PROGRAM_DIR}", 64);
  return 0;
}

VORBEL_SCENARIO(expand_program_base_over_capacity) {
  wchar_t* arguments[2] = {const_cast<wchar_t*>(L"ab.exe"), nullptr};
  __wargv = arguments;
  wchar_t output[6];
  expand_path_spec(output, L"{PROGRAM_BASE}", 6);
  return 0;
}

VORBEL_SCENARIO(expand_time_value_over_capacity) {
  SetEnvironmentVariableW(L"VORBEL_ONEFILE_START", L"123456789");
  wchar_t output[16];
  expand_path_spec(output, L"abc{TIME}", 10);  // "abc" and 6 digits fit, the 7th does not
  return 0;
}

TEST(ExpandPathSpec, ValuesThatCannotBeAppendedEndTheProcessQuietly) {
  for (const char* scenario : {"expand_value_over_capacity", "expand_program_without_argv",
                               "expand_program_base_over_capacity", "expand_time_value_over_capacity"}) {
    ProcessResult result = run_scenario(scenario);
    EXPECT_EQ(result.exit_code, ABORT_STATUS) << scenario;
    EXPECT_EQ(result.out, "") << scenario;
    EXPECT_EQ(result.err.find("Error, "), std::string::npos) << scenario;
  }
}

TEST(ExtractionDir, TheLongestPathTheExpansionAcceptsLeavesRoomForTheSecondNul) {
  std::wstring longest(PATH_CAPACITY - 1, L'a');
  wmemset(extraction_dir, L'#', PATH_CAPACITY + 1);
  ASSERT_TRUE(expand_path_spec(extraction_dir, longest.c_str(), PATH_CAPACITY));
  EXPECT_EQ(extraction_dir[PATH_CAPACITY - 1], L'\0');
  // The expansion never writes the unit beyond its capacity: in the static,
  // zero-filled buffer it stays the second NUL of the delete request's list.
  EXPECT_EQ(extraction_dir[PATH_CAPACITY], L'#');
  wmemset(extraction_dir, L'\0', PATH_CAPACITY + 1);
}

}  // namespace
