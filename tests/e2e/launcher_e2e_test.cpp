// End-to-end tests: launchers packed by the build tool, started under Wine as
// a user starts them, checked by streams, exit status, what the application
// saw, and what is left on disk afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <thread>

#include "tests/e2e/e2e_support.h"
#include "tests/support/payload_builder.h"
#include "tests/support/scenario.h"

namespace fs = std::filesystem;

namespace {

TEST(LauncherWithoutPayload, SaysSoOnStandardOutputWithStatusTwo) {
  ProcessResult result = run_process(launcher_exe(), quote_argument(launcher_exe()) + L" one \"two words\"");
  ASSERT_TRUE(result.started) << result.start_error;
  EXPECT_EQ(result.out, text_mode("Error, couldn't find attached data header.\n"));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_code, 2u);
}

TEST(PackedLauncher, RunsTheApplicationAndRemovesItsDirectory) {
  PackedApp app;
  ProcessResult result = app.run({L"one"});
  ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
  EXPECT_EQ(result.err, "");
  auto report = report_of(result.out);
  EXPECT_EQ(value(report, "helper"), "hello from sample_helper.dll") << "its own DLL loaded from the payload";
  std::string dir = value(report, "app_dir");
  std::string temp = narrow(app.temp.wstring());
  EXPECT_EQ(dir.rfind(temp + "\\onefile_" + value(report, "VORBEL_ONEFILE_PARENT") + "_" +
                          value(report, "VORBEL_ONEFILE_START"),
                      0),
            0u)
      << dir;
  EXPECT_EQ(value(report, "VORBEL_ONEFILE_CONTENTS"), dir) << "the application is told where its files are";
  std::vector<std::string> files = values(report, "file");
  std::sort(files.begin(), files.end());
  const std::vector<std::string> expected = {"data\\docs\\nested.txt", "data\\readme.txt", "sample_app.dll",
                                             "sample_helper.dll", "vorbel.lck"};
  EXPECT_EQ(files, expected) << "the files and the directory's lock exist while the application runs";
  EXPECT_TRUE(app.left_in_temp().empty()) << "the directory is gone afterwards";
}

TEST(PackedLauncher, PassesEveryExitStatusThrough) {
  PackedApp app(sample_app_dll(), false);
  for (const wchar_t* code : {L"0", L"1", L"255", L"256", L"0x7FFFFFFF", L"0x80000000", L"0xFFFFFFFF", L"3221225781"}) {
    ProcessResult result = app.run({L"--exit", code});
    EXPECT_EQ(result.exit_code, wcstoul(code, nullptr, 0)) << narrow(code);
  }
  EXPECT_TRUE(app.left_in_temp().empty());
}

TEST(PackedLauncher, TheApplicationSeesTheArgumentsAsTyped) {
  PackedApp app(sample_app_dll(), false);
  write_file(app.scratch.path() / L"xa.txt", "");
  write_file(app.scratch.path() / L"xb.txt", "");
  // Typed command line: app.exe "two words" "" "say \"hi\"" "C:\my dir\\" x*.txt "x?.txt" zz*.none café 😀
  std::wstring line =
      L"app.exe \"two words\" \"\" \"say \\\"hi\\\"\" \"C:\\my dir\\\\\" x*.txt \"x?.txt\" zz*.none caf\u00e9 "
      L"\U0001F600";
  RunOptions options;
  options.env = {{L"TMP", app.temp.wstring()}, {L"TEMP", app.temp.wstring()}};
  options.current_directory = app.scratch.str();
  ProcessResult result = run_process(app.exe.wstring(), line, options);
  ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
  auto report = report_of(result.out);
  std::vector<std::string> argv;
  for (int i = 0; i < std::stoi(value(report, "argc")); ++i) argv.push_back(value(report, "argv[" + std::to_string(i) + "]"));
  const std::vector<std::string> expected = {
      narrow(app.exe.wstring()),  // the full module path, whatever was typed
      "two words",                // the empty argument is dropped
      "say \"hi\"",
      "C:\\my dir\\",
      "xa.txt", "xb.txt",         // wildcards expanded against the current directory,
      "xa.txt", "xb.txt",         // quoted or not
      "zz*.none",                 // no match: unchanged
      "caf\xC3\xA9",
      "\xF0\x9F\x98\x80",
  };
  EXPECT_EQ(argv, expected);
  EXPECT_EQ(value(report, "VORBEL_ORIGINAL_ARGV0"), "app.exe");
  EXPECT_EQ(value(report, "VORBEL_ONEFILE_DIRECTORY"), narrow(app.scratch.str()));
  EXPECT_EQ(value(report, "cwd"), narrow(app.scratch.str()));
  std::string start = value(report, "VORBEL_ONEFILE_START");
  EXPECT_EQ(start.size(), 18u);
  EXPECT_EQ(start.find_first_not_of("0123456789"), std::string::npos);
}

VORBEL_SCENARIO(sleep_a_while) {
  Sleep(60000);
  return 0;
}

TEST(PackedLauncher, AnInheritedParentThatIsNoLiveLauncherIsIgnored) {
  PackedApp app(sample_app_dll(), false);
  DWORD ended_id = 0;
  {
    RunningProcess ended(app.exe.wstring(), L"app.exe --exit 0");
    WaitForSingleObject(ended.handle(), 30000);
    ended_id = ended.id();
  }
  RunningProcess other(own_executable(), quote_argument(own_executable()) + L" --scenario=sleep_a_while");
  for (const std::wstring& parent : {std::wstring(L""), std::wstring(L"not a number"), std::wstring(L"99999999999"),
                                     std::to_wstring(ended_id), std::to_wstring(other.id())}) {
    RunOptions options;
    options.env = {{L"VORBEL_ONEFILE_PARENT", parent}, {L"VORBEL_ONEFILE_START", L"1"}};
    ProcessResult result = app.run({L"--exit", L"9"}, options);
    EXPECT_EQ(result.exit_code, 9u) << narrow(parent) << result.out << result.err;
    auto report = report_of(result.out);
    EXPECT_NE(value(report, "VORBEL_ONEFILE_PARENT"), narrow(parent));
    if (parent.empty()) {
      // An empty parent counts as absent, and nothing is removed: the
      // inherited start time is reused.
      EXPECT_EQ(value(report, "VORBEL_ONEFILE_START"), "1");
    } else {
      EXPECT_NE(value(report, "VORBEL_ONEFILE_START"), "1") << "a failed check forgets the start time";
    }
  }
  EXPECT_TRUE(app.left_in_temp().empty());
}

TEST(PackedLauncher, TheApplicationCanStartTheLauncherAgainWithoutUnpacking) {
  PackedApp app(probe_app_dll(), false);
  ProcessResult result = app.run({L"--relaunch", L"3"});
  EXPECT_EQ(result.exit_code, 3u) << result.out << result.err;
  auto report = report_of(result.out);
  EXPECT_EQ(value(report, "relaunch_status"), "7");
  std::vector<std::string> dirs = values(report, "app_dir");
  ASSERT_EQ(dirs.size(), 2u) << result.out;
  EXPECT_EQ(dirs[0], dirs[1]) << "the second run used the same directory";
  EXPECT_TRUE(app.left_in_temp().empty());
}

TEST(PackedLauncher, AFileHeldOpenKeepsTheDirectoryButNotTheStatus) {
  PackedApp app(probe_app_dll());
  ProcessResult result = app.run({L"--hold", L"data\\readme.txt", L"3000", L"5"});
  EXPECT_EQ(result.exit_code, 5u) << result.out << result.err;
  EXPECT_EQ(value(report_of(result.out), "held"), "yes");
  EXPECT_EQ(result.err, "");
  std::vector<fs::path> kept = app.left_in_temp();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_TRUE(fs::exists(kept[0] / L"data" / L"readme.txt")) << "the held file stays where it was";
  // The holder keeps the file for 3 s; after it lets go the directory can go.
  Sleep(2000);
  for (const auto& left : app.left_in_temp()) {
    std::error_code ignored;
    fs::remove_all(left, ignored);
  }
}

TEST(PackedLauncher, ManyLaunchesAtOnceEachGetTheirOwnDirectory) {
  PackedApp app;
  constexpr int kLaunches = 16;
  std::vector<ProcessResult> results(kLaunches);
  std::vector<std::thread> threads;
  for (int i = 0; i < kLaunches; ++i) {
    threads.emplace_back([&, i] { results[i] = app.run({L"--exit", std::to_wstring(100 + i)}); });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::string> dirs;
  for (int i = 0; i < kLaunches; ++i) {
    EXPECT_EQ(results[i].exit_code, static_cast<DWORD>(100 + i)) << results[i].err;
    dirs.insert(value(report_of(results[i].out), "app_dir"));
  }
  EXPECT_EQ(dirs.size(), static_cast<size_t>(kLaunches));
  EXPECT_TRUE(app.left_in_temp().empty());
}

// vorbel-pack build refuses such a DLL, so the payload is embedded as it stands.
TEST(PackedLauncher, AnApplicationWithoutRunCodeIsReported) {
  EmbeddedPayload payload(std::vector<TestEntry>{{L"no_entry.dll", read_file(built_file(VORBEL_NO_ENTRY_DLL))}});
  ProcessResult result = payload.run();
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, text_mode("Error, DLL entry point not found.\n"));
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(fs::is_empty(payload.temp)) << "the extracting instance still cleans up";
}

TEST(PackedLauncher, AFirstEntryThatIsNoDllIsReportedWithTheSystemText) {
  EmbeddedPayload payload({{L"app.dll", "this is not a DLL"}});
  ProcessResult result = payload.run();
  EXPECT_EQ(result.exit_code, 2u);
  const std::string prefix = text_mode("Error, load DLL. ([Error ");
  ASSERT_EQ(result.err.rfind(prefix, 0), 0u) << result.err;
  DWORD code = static_cast<DWORD>(std::stol(result.err.substr(prefix.size())));
  EXPECT_EQ(result.err, text_mode("Error, load DLL. ([Error " + std::to_string(static_cast<long>(code)) + "] " +
                                  system_message(code) + ")\n"));
}

TEST(PackedLauncher, AnEmptyPayloadStopsWithoutStartingAgainAndAgain) {
  EmbeddedPayload payload(std::vector<TestEntry>{});
  ProcessResult result = payload.run();
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, text_mode("Error, attached data holds no application.\n"));
  EXPECT_TRUE(fs::is_empty(payload.temp));
}

}  // namespace
