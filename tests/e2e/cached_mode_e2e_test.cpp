// The cached mode end to end: packed with --cache, the program unpacks once
// into a bundle below its own %LOCALAPPDATA% and runs later starts from it;
// the bundle survives races, damage and kills, and never is a directory
// someone else put in its place. Across versions: cache_versions_e2e_test.cpp.
#include <windows.h>
// After windows.h, whose types it uses.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/cached_mode_support.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/random_runs.h"

namespace fs = std::filesystem;

namespace {

using namespace cached_mode_e2e;

// The same start three times: in the cached mode a first one that unpacks
// into the one bundle and a later one that must write nothing to it, and in
// the fresh mode one to compare the later one with.
struct ThreeStarts {
  ProcessResult first, later, fresh;
  std::vector<fs::path> bundles;
};

ThreeStarts start_three_times(const PackedApp& cached, const PackedApp& fresh,
                              const std::vector<std::wstring>& arguments, DWORD status) {
  ThreeStarts starts;
  starts.first = cached.run(arguments);
  EXPECT_EQ(starts.first.exit_code, status) << starts.first.out << starts.first.err;
  starts.bundles = bundles_of(cached);
  EXPECT_EQ(starts.bundles.size(), 1u);
  EXPECT_TRUE(working_folders_of(cached).empty());
  EXPECT_TRUE(cached.left_in_temp().empty()) << "nothing in TEMP";
  if (starts.bundles.size() != 1) return starts;
  const auto written = write_times(starts.bundles[0]);
  const uint64_t day_ago = now_stamp() - DAY;
  set_lock_stamp(starts.bundles[0], day_ago);

  starts.later = cached.run(arguments);
  starts.fresh = fresh.run(arguments);
  EXPECT_EQ(starts.later.exit_code, starts.fresh.exit_code) << starts.later.out << starts.later.err;
  EXPECT_EQ(starts.later.err, "");
  EXPECT_EQ(write_times(starts.bundles[0]), written) << "a later start writes nothing but its lock's stamp";
  EXPECT_GT(lock_stamp(starts.bundles[0]), day_ago + DAY / 2) << "the time of its use";
  EXPECT_EQ(bundles_of(cached), starts.bundles);
  return starts;
}

TEST(CachedMode, ALaterStartRunsFromTheBundleAsAFreshRunWouldWritingOnlyItsLocksStamp) {
  PackedApp cached(sample_app_dll(), true, CACHE);
  PackedApp fresh;  // the same payload in the fresh directory's mode
  ThreeStarts starts =
      start_three_times(cached, fresh, {L"one", L"two words", L"", L"*.exe", L"--exit", L"0x80000001"}, 0x80000001u);
  const std::vector<fs::path>& bundles = starts.bundles;
  ASSERT_EQ(bundles.size(), 1u);
  auto ours = report_in(cached, starts.later);
  auto theirs = report_in(fresh, starts.fresh);
  for (const char* key : {"argc", "argv[0]", "argv[1]", "argv[2]", "argv[3]", "argv[4]", "argv[5]",
                          "VORBEL_ONEFILE_DIRECTORY", "VORBEL_ORIGINAL_ARGV0", "cwd", "helper"}) {
    EXPECT_EQ(values(ours, key), values(theirs, key)) << key;
  }
  EXPECT_EQ(values(ours, "VORBEL_ORIGINAL_ARGV0"), std::vector<std::string>({"app.exe"}));
  std::string bundle = "<scratch>\\local\\app\\" + narrow(bundles[0].filename().wstring());
  EXPECT_EQ(values(ours, "app_dir"), std::vector<std::string>({bundle}));
  EXPECT_EQ(value(ours, "VORBEL_ONEFILE_CONTENTS"), bundle);
  EXPECT_EQ(value(ours, "VORBEL_ONEFILE_PARENT"), "<unset>") << "no parent waits";
  EXPECT_EQ(value(ours, "VORBEL_ONEFILE_START"), "<unset>");
  std::vector<std::string> files = values(ours, "file");
  std::sort(files.begin(), files.end());
  const std::vector<std::string> expected = {"data\\docs\\nested.txt", "data\\readme.txt", "sample_app.dll",
                                             "sample_helper.dll",      "vorbel.lck",       "vorbel.lst"};
  EXPECT_EQ(files, expected);
}

// A copy of the program that the application starts (argv[0]) is a cached
// start of its own: it runs from the same bundle, writes nothing but its
// lock's stamp, and hands back its status as a copy in the fresh mode does.
TEST(CachedMode, ACopyTheApplicationStartsRunsFromTheSameBundleAsAStartOfItsOwn) {
  PackedApp cached(probe_app_dll(), false, CACHE);
  PackedApp fresh(probe_app_dll(), false);
  // The copies write nothing either: the later start and its copy leave the bundle as the first left it, but for
  // the lock's stamp.
  ThreeStarts starts = start_three_times(cached, fresh, {L"--relaunch", L"0x80000001"}, 0x80000001u);
  EXPECT_EQ(value(report_of(starts.first.out), "relaunch_status"), "7") << "a copy started during the first start";
  const std::vector<fs::path>& bundles = starts.bundles;
  ASSERT_EQ(bundles.size(), 1u);
  auto ours = report_in(cached, starts.later);
  auto theirs = report_in(fresh, starts.fresh);
  for (const char* key : {"relaunch_status", "VORBEL_ONEFILE_DIRECTORY", "cwd"}) {
    EXPECT_EQ(values(ours, key), values(theirs, key)) << key;
  }
  EXPECT_EQ(value(ours, "relaunch_status"), "7");
  // The copy is a start of its own, with its own argument 0.
  EXPECT_EQ(values(ours, "VORBEL_ORIGINAL_ARGV0"), std::vector<std::string>({"app.exe", "<scratch>\\app.exe"}));
  std::string bundle = "<scratch>\\local\\app\\" + narrow(bundles[0].filename().wstring());
  EXPECT_EQ(values(ours, "app_dir"), std::vector<std::string>({bundle, bundle}))
      << "the copy the application started ran from the same bundle";
  EXPECT_EQ(values(ours, "VORBEL_ONEFILE_CONTENTS"), std::vector<std::string>({bundle, bundle}));
  EXPECT_EQ(value(ours, "VORBEL_ONEFILE_PARENT"), "<unset>") << "no parent waits: a copy must not take its place";
  EXPECT_EQ(value(ours, "VORBEL_ONEFILE_START"), "<unset>");
}

// Each unpack is made in a working directory of its own: the names seen while
// the starts run count the unpacks. 24 MB that does not compress keep each
// unpack in sight long enough for the starts to meet it.
TEST(CachedMode, EightFirstStartsAtOnceAllRunAndLeaveOneBundle) {
  ScratchDir bulk;
  std::mt19937_64 random(30);
  std::string block(1 << 20, '\0');
  for (int part = 0; part < 24; ++part) {
    for (char& unit : block) unit = static_cast<char>(random());
    write_file(bulk.path() / L"bulk" / (L"part" + std::to_wstring(part)), block);
  }
  PackedApp app(sample_app_dll(), true, {L"--cache", L"--level", L"1", L"--add", (bulk.path() / L"bulk").wstring()});
  constexpr int kStarts = 8;
  std::vector<ProcessResult> results(kStarts);
  std::vector<std::thread> threads;
  std::atomic<bool> running{true};
  std::set<std::wstring> working_names;
  std::thread watcher([&] {
    while (running) {
      std::error_code error;
      for (fs::directory_iterator at(application_folder(app), error), end; !error && at != end; at.increment(error)) {
        std::wstring name = at->path().filename().wstring();
        if (name.rfind(L"unpacking_", 0) == 0) working_names.insert(name);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int i = 0; i < kStarts; ++i) {
    threads.emplace_back([&, i] { results[i] = app.run({L"--exit", std::to_wstring(10 + i)}); });
  }
  for (auto& thread : threads) thread.join();
  running = false;
  watcher.join();
  EXPECT_LE(working_names.size(), 1u) << "a first start under way is waited for, not unpacked beside";
  for (int i = 0; i < kStarts; ++i) {
    EXPECT_EQ(results[i].exit_code, static_cast<DWORD>(10 + i)) << results[i].out << results[i].err;
    EXPECT_EQ(results[i].err, "");
  }
  EXPECT_EQ(bundles_of(app).size(), 1u);
  EXPECT_TRUE(working_folders_of(app).empty()) << "losers remove their working directories";
}

TEST(CachedMode, ADamagedBundleIsNeverRunAndIsReplaced) {
  struct Damage {
    const char* what;
    void (*apply)(const fs::path& bundle);
  };
  const Damage damages[] = {
      {"a file deleted", [](const fs::path& bundle) { fs::remove(bundle / L"sample_helper.dll"); }},
      {"a file truncated", [](const fs::path& bundle) { fs::resize_file(bundle / L"data" / L"readme.txt", 2); }},
      {"the record deleted", [](const fs::path& bundle) { fs::remove(bundle / L"vorbel.lst"); }},
      {"the record cut short",
       [](const fs::path& bundle) {
         fs::resize_file(bundle / L"vorbel.lst", fs::file_size(bundle / L"vorbel.lst") - 3);
       }},
  };
  for (const Damage& damage : damages) {
    PackedApp app(sample_app_dll(), true, CACHE);
    expect_runs(app, "first start");
    ASSERT_EQ(bundles_of(app).size(), 1u);
    damage.apply(bundles_of(app)[0]);
    expect_runs(app, damage.what);
    // The damaged bundle goes once nothing uses it: by this run's sweep, or the next's.
    expect_runs(app, damage.what);
    wait_for_sweepers(app.exe);
    std::vector<fs::path> bundles = bundles_of(app);
    ASSERT_EQ(bundles.size(), 1u) << damage.what;
    EXPECT_TRUE(fs::exists(bundles[0] / L"sample_helper.dll")) << damage.what;
    EXPECT_EQ(fs::file_size(bundles[0] / L"data" / L"readme.txt"), 6u) << damage.what;
  }
}

// A file of the bundle that kept its size and lost its data (zeroed, as a
// power cut leaves it) fails one start at most: that start marks the bundle
// damaged and the next one unpacks anew.
TEST(CachedMode, AFileThatLostItsDataFailsOneStartAtMost) {
  for (const wchar_t* name : {L"sample_app.dll", L"sample_helper.dll"}) {
    PackedApp app(sample_app_dll(), true, CACHE);
    expect_runs(app, "first start");
    ASSERT_EQ(bundles_of(app).size(), 1u);
    const fs::path file = bundles_of(app)[0] / name;
    const auto size = fs::file_size(file);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << std::string(size, '\0');
    ProcessResult failed = app.run({L"--exit", L"4"});
    EXPECT_EQ(failed.exit_code, 2u) << narrow(name) << ": " << failed.out << failed.err;
    EXPECT_NE(failed.err.find("Error, load DLL."), std::string::npos) << failed.err;
    EXPECT_LT(lock_stamp(file.parent_path()), now_stamp() - 365 * DAY) << "stamped as damaged, never kept";
    expect_runs(app, "after the failed start");
    expect_runs(app, "once more");
  }
}

// One damaged file costs one unpack: the bundle made beside the damaged one
// serves every later start, also once the sweep has freed the id's own name.
TEST(CachedMode, OneDamagedFileCostsOneUnpackAndLaterStartsRunFromTheBundleBesideIt) {
  PackedApp app(sample_app_dll(), true, CACHE);
  expect_runs(app, "first start");
  ASSERT_EQ(bundles_of(app).size(), 1u);
  const fs::path own = bundles_of(app)[0];
  fs::remove(own / L"sample_helper.dll");
  expect_runs(app, "after the damage");
  const fs::path beside = own.wstring() + L".2";
  ASSERT_TRUE(fs::exists(beside / L"sample_helper.dll"));
  const auto written = write_times(beside);
  const std::vector<std::string> from_beside = {"<scratch>\\local\\app\\" + narrow(beside.filename().wstring())};
  for (int start = 1; start <= 4; ++start) {
    ProcessResult result = app.run({L"--exit", L"4"});
    EXPECT_EQ(result.exit_code, 4u) << start << ": " << result.out << result.err;
    EXPECT_EQ(values(report_in(app, result), "app_dir"), from_beside) << "later start " << start;
  }
  wait_for_sweepers(app.exe);
  EXPECT_EQ(bundles_of(app), std::vector<fs::path>{beside}) << "the damaged one is swept and no other is made";
  EXPECT_EQ(write_times(beside), written) << "nothing is unpacked into it again";
  EXPECT_TRUE(working_folders_of(app).empty());
}

// A root that another account may change below (here everyone may do all:
// Wine keeps the DACL as the folder's Unix mode, 0777) is not used: every
// start runs as a fresh one, from TEMP, and leaves nothing.
TEST(CachedMode, ARootOpenToOtherAccountsIsNotUsed) {
  PackedApp app(sample_app_dll(), true, CACHE);
  EXPLICIT_ACCESS_W everyone = {};
  BuildExplicitAccessWithNameW(&everyone, const_cast<wchar_t*>(L"Everyone"), GENERIC_ALL, SET_ACCESS, NO_INHERITANCE);
  PACL dacl = nullptr;
  ASSERT_EQ(SetEntriesInAclW(1, &everyone, nullptr, &dacl), static_cast<DWORD>(ERROR_SUCCESS));
  std::wstring root = app.local.wstring();
  ASSERT_EQ(
      SetNamedSecurityInfoW(root.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr),
      static_cast<DWORD>(ERROR_SUCCESS));
  LocalFree(dacl);
  expect_runs(app, "first start");
  expect_runs(app, "later start");
  EXPECT_FALSE(fs::exists(application_folder(app))) << "nothing is kept below the root";
  EXPECT_TRUE(app.left_in_temp().empty());
}

TEST(CachedMode, AFirstStartKilledAnywhereLeavesNothingTheNextStartKeeps) {
  PackedApp app(sample_app_dll(), true, CACHE);
  const unsigned seed = run_seed("VORBEL_CACHED_KILL_SEED", "kills", 6);
  std::mt19937 random(seed);
  for (int kill = 0; kill < 6; ++kill) {
    {
      InTempOf environment(app);
      RunningProcess start(app.exe.wstring(), L"app.exe --exit 3");
      Sleep(std::uniform_int_distribution<DWORD>(0, 120)(random));
      TerminateProcess(start.handle(), 1);
      WaitForSingleObject(start.handle(), INFINITE);
    }
    // A start that got as far as its bundle is a whole one; otherwise nothing runs from its leftovers.
    expect_runs(app, "after a kill");
  }
  expect_runs(app, "once more");
  wait_for_sweepers(app.exe);
  EXPECT_EQ(bundles_of(app).size(), 1u);
  EXPECT_TRUE(working_folders_of(app).empty()) << "killed first starts' working directories are swept";
}

// Started by a bare name from cmd, or by a path relative to the current
// directory that need not even be the program's, it still keeps its bundle
// beside itself: the program's names in the root come from the executable.
TEST(CachedMode, TheProgramsNamesInTheRootComeFromTheExecutableNotFromArgvZero) {
  PackedApp app(sample_app_dll(), true, {L"--cache", L"--cache-dir", L"{PROGRAM_DIR}\\cache"});
  const fs::path elsewhere = app.scratch.path() / L"elsewhere";
  fs::create_directories(elsewhere / L"sub");
  RunOptions options;
  options.current_directory = (elsewhere / L"sub").wstring();
  for (const wchar_t* argv0 : {L"app", L"..\\other\\app.exe", L"app"}) {
    ProcessResult result = app.run({L"--exit", L"4"}, options, argv0);
    EXPECT_EQ(result.exit_code, 4u) << narrow(argv0) << ": " << result.out << result.err;
    EXPECT_EQ(result.err, "") << narrow(argv0);
  }
  EXPECT_EQ(tree_of(elsewhere), std::vector<std::string>{"sub"}) << "nothing in or near the caller's directory";
  std::vector<fs::path> bundles;
  for (const auto& entry : fs::directory_iterator(app.scratch.path() / L"cache" / L"app")) bundles.push_back(entry);
  ASSERT_EQ(bundles.size(), 1u) << "one bundle beside the executable, used by every start";
  EXPECT_TRUE(fs::exists(bundles[0] / L"sample_helper.dll"));
  EXPECT_TRUE(app.left_in_temp().empty());
}

TEST(CachedMode, SomethingElseInTheBundlesPlaceIsLeftAloneAndTheBundleGoesBesideIt) {
  PackedApp app(sample_app_dll(), false, CACHE);
  expect_runs(app, "first start");
  fs::path bundle = bundles_of(app).at(0);
  fs::remove_all(bundle);
  write_file(bundle, "not ours");
  expect_runs(app, "with a file in the bundle's place");
  EXPECT_EQ(read_file(bundle), "not ours");
  std::vector<fs::path> bundles = bundles_of(app);
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(bundles[1].filename().wstring(), bundle.filename().wstring() + L".2");
  expect_runs(app, "later");
  EXPECT_EQ(bundles_of(app), bundles);
}

}  // namespace
