// What the application sees of how it was started. The VORBEL_ variables as
// its C runtime shows them: getenv, _wgetenv, _wenviron and environ of a DLL
// that shares the launcher's msvcrt hold what GetEnvironmentVariableW holds,
// in a fresh run and in both starts of the cached mode, where the launcher
// sets and removes them in the very process that loads the DLL, after msvcrt
// took its copies. And the caller's show state (a minimized start).
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "tests/e2e/e2e_support.h"

namespace {

const char* const VARIABLES[] = {"VORBEL_ONEFILE_PARENT", "VORBEL_ONEFILE_START", "VORBEL_ONEFILE_DIRECTORY",
                                 "VORBEL_ORIGINAL_ARGV0", "VORBEL_ONEFILE_CONTENTS"};
const char* const RUNTIME_VIEWS[] = {"getenv", "_wgetenv", "_wenviron", "environ"};

// view -> variable -> value, from the probe application's "--variables" lines.
using Views = std::map<std::string, std::map<std::string, std::string>>;

Views views_of(const std::string& out) {
  Views views;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t blank = line.find(' ');
    size_t equals = line.find('=', blank);
    if (blank == std::string::npos || equals == std::string::npos) continue;
    views[line.substr(0, blank)][line.substr(blank + 1, equals - blank - 1)] = line.substr(equals + 1);
  }
  return views;
}

void expect_every_view_as_the_system(const Views& views, const char* when) {
  ASSERT_EQ(views.count("GetEnvironmentVariableW"), 1u) << when;
  const auto& system = views.at("GetEnvironmentVariableW");
  ASSERT_EQ(system.size(), std::size(VARIABLES)) << when;
  for (const char* view : RUNTIME_VIEWS) {
    ASSERT_EQ(views.count(view), 1u) << when << ": " << view;
    for (const char* name : VARIABLES) {
      EXPECT_EQ(views.at(view).at(name), system.at(name)) << when << ": " << view << " of " << name;
    }
  }
}

PackedApp packed_probe(const std::vector<std::wstring>& options = {}) {
  return PackedApp(probe_app_dll(), false, options);
}

TEST(ApplicationStart, EveryViewOfTheRuntimeHoldsThemInAFreshRun) {
  PackedApp app = packed_probe();
  ProcessResult result = app.run({L"--variables"});
  ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
  Views views = views_of(result.out);
  expect_every_view_as_the_system(views, "fresh");
  auto system = views["GetEnvironmentVariableW"];
  for (const char* name : VARIABLES) EXPECT_NE(system[name], "<unset>") << name;
  EXPECT_EQ(system["VORBEL_ONEFILE_DIRECTORY"], narrow(app.scratch.path().wstring()));
  EXPECT_EQ(system["VORBEL_ORIGINAL_ARGV0"], "app.exe");
  EXPECT_EQ(system["VORBEL_ONEFILE_CONTENTS"].rfind(narrow(app.temp.wstring()) + "\\onefile_", 0), 0u)
      << system["VORBEL_ONEFILE_CONTENTS"];
}

TEST(ApplicationStart, EveryViewOfTheRuntimeHoldsThemInBothCachedStartsAndNoneKeepsARemovedOne) {
  PackedApp app = packed_probe({L"--cache"});
  // Inherited from a caller that is no launcher: the start removes both.
  RunOptions options;
  options.env[L"VORBEL_ONEFILE_PARENT"] = std::to_wstring(GetCurrentProcessId());
  options.env[L"VORBEL_ONEFILE_START"] = L"133000000000000000";
  for (const char* when : {"first start", "later start"}) {
    ProcessResult result = app.run({L"--variables"}, options);
    ASSERT_EQ(result.exit_code, 0u) << when << ": " << result.out << result.err;
    Views views = views_of(result.out);
    expect_every_view_as_the_system(views, when);
    auto system = views["GetEnvironmentVariableW"];
    EXPECT_EQ(system["VORBEL_ONEFILE_PARENT"], "<unset>") << when;
    EXPECT_EQ(system["VORBEL_ONEFILE_START"], "<unset>") << when;
    EXPECT_EQ(system["VORBEL_ONEFILE_DIRECTORY"], narrow(app.scratch.path().wstring())) << when;
    EXPECT_EQ(system["VORBEL_ORIGINAL_ARGV0"], "app.exe") << when;
    EXPECT_EQ(system["VORBEL_ONEFILE_CONTENTS"].rfind(narrow((app.local / L"app").wstring()) + "\\", 0), 0u)
        << when << ": " << system["VORBEL_ONEFILE_CONTENTS"];
  }
}

TEST(ApplicationStart, AMinimizedStartReachesTheApplicationInBothModes) {
  for (bool cached : {false, true}) {
    PackedApp app = cached ? packed_probe({L"--cache"}) : packed_probe();
    RunOptions options;
    options.show_window = SW_SHOWMINNOACTIVE;  // what `start /min` asks for
    ProcessResult result = app.run({L"--show-state"}, options);
    EXPECT_EQ(result.out, "show=" + std::to_string(SW_SHOWMINNOACTIVE) + "\n") << cached << result.err;
    EXPECT_EQ(result.exit_code, static_cast<DWORD>(SW_SHOWMINNOACTIVE));
    EXPECT_EQ(app.run({L"--show-state"}).out, "show=none\n") << cached;
  }
}

}  // namespace
