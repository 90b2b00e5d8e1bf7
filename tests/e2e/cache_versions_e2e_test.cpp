// The cached mode across versions end to end: a new payload gets a new
// bundle and the old one goes once nothing runs from it, the bundles used last
// are kept so that versions run in turn unpack once each, a removal never
// holds a start's exit (a detached sweeper goes on with it), and an
// uninstaller's variable removes every bundle not in use.
#include <windows.h>
// After windows.h, whose types it uses.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/cached_mode_support.h"
#include "tests/e2e/e2e_support.h"

namespace fs = std::filesystem;

namespace {

using namespace cached_mode_e2e;

TEST(CachedMode, ANewPayloadGetsANewBundleAndTheOldOneGoesOnceNothingRunsFromIt) {
  PackedApp old_app(probe_app_dll(), true, CACHE);
  fs::path new_exe = pack_next_version(old_app);

  fs::path marker = old_app.scratch.path() / L"running";
  InTempOf environment(old_app);
  RunningProcess old_run(old_app.exe.wstring(), L"app.exe --fault wait-while " + quote_argument(marker.wstring()));
  ASSERT_NE(wait_for_probe_id(marker, 60000), 0u);
  std::vector<fs::path> old_bundles = bundles_of(old_app);
  ASSERT_EQ(old_bundles.size(), 1u);

  ProcessResult first = run_other(old_app, new_exe, L"one");
  EXPECT_EQ(first.exit_code, 0u) << first.out << first.err;
  std::vector<fs::path> both = bundles_of(old_app);
  EXPECT_EQ(both.size(), 2u) << "the old bundle stays while a run holds it";
  EXPECT_TRUE(fs::exists(old_bundles[0] / L"probe_app.dll"));

  fs::remove(marker);
  WaitForSingleObject(old_run.handle(), 60000);
  // Used longer ago than a bundle is kept for.
  set_lock_stamp(old_bundles[0], now_stamp() - 31 * DAY);
  // Returning from run_code gives the sweep its time (an application that
  // ends the process itself cuts it short; a later start goes on).
  ProcessResult later = run_other(old_app, new_exe, L"two");
  EXPECT_EQ(later.exit_code, 0u) << later.out << later.err;
  wait_for_sweepers(new_exe);
  std::vector<fs::path> left = bundles_of(old_app);
  ASSERT_EQ(left.size(), 1u) << "the unused old bundle is removed";
  EXPECT_NE(left[0], old_bundles[0]);
}

// Two versions run in turn (as two programs packed under one product name
// are: the same application folder) keep each other's bundle, recently used,
// and so unpack once each.
TEST(CachedMode, TwoVersionsRunInTurnUnpackOnceEach) {
  PackedApp old_app(probe_app_dll(), true, CACHE);
  fs::path new_exe = pack_next_version(old_app);
  auto run_both = [&](const char* when) {
    ProcessResult old_run = old_app.run({L"one"});
    EXPECT_EQ(old_run.exit_code, 0u) << when << ": " << old_run.out << old_run.err;
    ProcessResult new_run = run_other(old_app, new_exe, L"one");
    EXPECT_EQ(new_run.exit_code, 0u) << when << ": " << new_run.out << new_run.err;
  };
  run_both("first starts");
  const std::vector<fs::path> bundles = bundles_of(old_app);
  ASSERT_EQ(bundles.size(), 2u);
  const auto old_written = write_times(bundles[0]);
  const auto new_written = write_times(bundles[1]);
  for (const char* when : {"second round", "third round"}) run_both(when);
  EXPECT_EQ(bundles_of(old_app), bundles) << "neither removed the other's";
  EXPECT_EQ(write_times(bundles[0]), old_written) << "nothing unpacked again";
  EXPECT_EQ(write_times(bundles[1]), new_written) << "nothing unpacked again";
  EXPECT_TRUE(working_folders_of(old_app).empty());
}

// Past the bundles kept, the one used longest ago goes: versions run in turn
// leave the folder with three at most (the one used last, the two before).
TEST(CachedMode, MoreVersionsThanTheKeptOnesRunInTurnLeaveABoundedFolder) {
  PackedApp first(probe_app_dll(), true, CACHE);
  std::vector<fs::path> others;
  for (int version = 2; version <= 4; ++version) {
    others.push_back(pack_next_version(first, L"v" + std::to_wstring(version), "readm" + std::to_string(version)));
  }
  std::vector<fs::path> made;  // each version's bundle, in the order of the runs
  auto run_version = [&](int version) {
    std::set<fs::path> before;
    for (const fs::path& bundle : bundles_of(first)) before.insert(bundle);
    ProcessResult result = version == 1 ? first.run({L"one"}) : run_other(first, others[version - 2], L"one");
    EXPECT_EQ(result.exit_code, 0u) << version << ": " << result.out << result.err;
    wait_for_sweepers(version == 1 ? first.exe : others[version - 2]);
    for (const fs::path& bundle : bundles_of(first)) {
      if (before.count(bundle) == 0) made.push_back(bundle);
    }
  };
  for (int version = 1; version <= 4; ++version) run_version(version);
  ASSERT_EQ(made.size(), 4u) << "each version unpacked once";
  std::vector<fs::path> expected = {made[1], made[2], made[3]};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(bundles_of(first), expected) << "the first version's, used longest ago, is gone";

  run_version(1);  // unpacks again, and the second version's goes
  ASSERT_EQ(made.size(), 5u);
  expected = {made[2], made[3], made[4]};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(bundles_of(first), expected);
}

// VORBEL_ONEFILE_REMOVE_CACHE=1, as an uninstaller sets it: the program runs
// nothing and removes the bundles of every version and the working
// directories left by ended first starts, but never a bundle a running start
// holds (named on standard error, status 1) nor anything of another name.
TEST(CachedMode, TheRemovalVariableRemovesEveryBundleButOneInUseWithoutRunningTheApplication) {
  PackedApp old_app(probe_app_dll(), true, CACHE);
  fs::path new_exe = pack_next_version(old_app);
  fs::path marker = old_app.scratch.path() / L"running";
  InTempOf environment(old_app);
  RunningProcess old_run(old_app.exe.wstring(), L"app.exe --fault wait-while " + quote_argument(marker.wstring()));
  ASSERT_NE(wait_for_probe_id(marker, 60000), 0u);
  // After the old start's sweep, and before the removal, which the new
  // start's sweep would otherwise anticipate.
  ProcessResult first = run_other(old_app, new_exe, L"one");
  ASSERT_EQ(first.exit_code, 0u) << first.out << first.err;
  wait_for_sweepers(new_exe);
  const fs::path folder = application_folder(old_app);
  fs::create_directories(folder / L"unpacking_4_1");  // a first start of long ago, killed
  write_file(folder / L"unpacking_4_1" / L"vorbel.lck", "");
  write_file(folder / L"notes.txt", "the user's");
  std::vector<fs::path> before = bundles_of(old_app);
  ASSERT_EQ(before.size(), 3u) << "two bundles and the user's file";
  // Under the layer's scanner the new bundle's files are held a moment after
  // they are written, which a removal rightly reports as in use.
  wait_out_scanner_holds();

  RunOptions remove;
  remove.env.emplace(L"VORBEL_ONEFILE_REMOVE_CACHE", L"1");
  ProcessResult held = run_other(old_app, new_exe, L"--exit 7", remove);
  EXPECT_EQ(held.exit_code, 1u) << held.out << held.err;
  EXPECT_EQ(held.out, "") << "the application does not run";
  std::vector<fs::path> left = bundles_of(old_app);
  ASSERT_EQ(left.size(), 2u);
  EXPECT_TRUE(fs::exists(left[0] / L"probe_app.dll")) << "the running start's bundle stays whole";
  EXPECT_EQ(left[1].filename(), L"notes.txt");
  EXPECT_TRUE(working_folders_of(old_app).empty());
  EXPECT_EQ(held.err, "Error, the cache folder '" + narrow(left[0].wstring()) + "' is in use and was not removed.\r\n");

  fs::remove(marker);
  WaitForSingleObject(old_run.handle(), 60000);
  // The old version removes the cache as well: it is the application's.
  ProcessResult freed = old_app.run({L"--exit", L"7"}, remove);
  EXPECT_EQ(freed.exit_code, 0u) << freed.out << freed.err;
  EXPECT_EQ(freed.out + freed.err, "");
  EXPECT_EQ(tree_of(folder), std::vector<std::string>{"notes.txt"});
  fs::remove(folder / L"notes.txt");
  EXPECT_EQ(old_app.run({}, remove).exit_code, 0u) << "nothing to remove";
  EXPECT_FALSE(fs::exists(folder)) << "an application folder left empty goes";
  EXPECT_TRUE(old_app.left_in_temp().empty());
}

// The next version of a program holding a tree of 3,000 files: its first
// start ends as soon as its application has, while the old bundle is being
// removed. The removal goes on in a detached sweeper that holds none of the
// start's handles (the pipe this test reads the start's output through is
// at its end when the start ends), and the old bundle is gone a while later.
// A later start with nothing left to remove leaves no sweeper behind.
TEST(CachedMode, AStartEndsAtOnceWhileASweeperRemovesALargeOldBundle) {
  ScratchDir bulk;
  for (int folder = 0; folder < 30; ++folder) {
    for (int file = 0; file < 100; ++file) {
      write_file(bulk.path() / L"tree" / (L"d" + std::to_wstring(folder)) / (L"f" + std::to_wstring(file)), "x");
    }
  }
  PackedApp old_app(sample_app_dll(), true, {L"--cache", L"--add", (bulk.path() / L"tree").wstring()});
  expect_runs(old_app, "the old version's first start");
  std::vector<fs::path> old_bundles = bundles_of(old_app);
  ASSERT_EQ(old_bundles.size(), 1u);
  set_lock_stamp(old_bundles[0], now_stamp() - 60 * DAY);  // used too long ago to be kept
  fs::path new_exe = old_app.scratch.path() / L"new" / L"app.exe";
  fs::create_directories(new_exe.parent_path());
  run_pack({L"build", L"--launcher", launcher_exe(), L"--app", sample_app_dll(), L"--add", sample_helper_dll(),
            L"--cache", L"-o", new_exe.wstring()});
  wait_out_scanner_holds();

  ProcessResult first = run_other(old_app, new_exe, L"--exit 4");
  EXPECT_EQ(first.exit_code, 4u) << first.out << first.err;
  EXPECT_EQ(first.err, "");
  EXPECT_TRUE(fs::exists(old_bundles[0])) << "the start ended before the removal, not after it";
  wait_for_sweepers(new_exe);
  std::vector<fs::path> left = bundles_of(old_app);
  ASSERT_EQ(left.size(), 1u) << "the old bundle is removed";
  EXPECT_NE(left[0], old_bundles[0]);
  EXPECT_TRUE(working_folders_of(old_app).empty());

  ProcessResult later = run_other(old_app, new_exe, L"--exit 5");
  EXPECT_EQ(later.exit_code, 5u) << later.out << later.err;
  EXPECT_FALSE(program_runs(new_exe)) << "no sweeper when nothing is left";
  EXPECT_TRUE(old_app.left_in_temp().empty());
}

// The sweeper's variable names no path: a value of another form runs the
// application as always; one of the form for another program's bundle (this
// file replaced by another version while a start ran) runs nothing. One for
// this program's bundle makes the program a sweeper of its own folder, which
// runs nothing, prints nothing, unpacks nothing and keeps the bundle it names.
TEST(CachedMode, OnlyTheSweepersOwnVariableMakesASweeperAndNoValueRunsTheApplicationHidden) {
  PackedApp app(sample_app_dll(), true, CACHE);
  expect_runs(app, "first start");
  std::vector<fs::path> bundles = bundles_of(app);
  ASSERT_EQ(bundles.size(), 1u);
  const std::wstring name = bundles[0].filename().wstring();
  const struct {
    std::wstring value;
    bool sweeper;
  } cases[] = {
      {L"1", false},
      {L"1:..\\..\\victim", false},
      {L"1:C:\\victim", false},
      {L"x:" + name, false},
      {L"1:" + name + L"\\..\\..", false},
      {L"4000000000:ffffffffffffffff", true},
      {L"4000000000:" + name + L".1", true},
      {L"4000000000:" + name + L".9", true},
  };
  const auto written = write_times(bundles[0]);
  for (const auto& c : cases) {
    RunOptions options;
    options.env.emplace(L"VORBEL_ONEFILE_SWEEPER", c.value);
    ProcessResult result = app.run({L"--exit", L"4"}, options);
    if (c.sweeper) {
      EXPECT_EQ(result.exit_code, 0u) << narrow(c.value) << ": " << result.out << result.err;
      EXPECT_EQ(result.out + result.err, "") << narrow(c.value);
    } else {
      EXPECT_EQ(result.exit_code, 4u) << narrow(c.value) << ": " << result.out << result.err;
      EXPECT_EQ(value(report_of(result.out), "helper"), "hello from sample_helper.dll") << narrow(c.value);
    }
  }
  const fs::path other = application_folder(app) / L"0011223344556677";  // another version's, unused
  fs::create_directories(other);
  RunOptions sweeper;
  sweeper.env.emplace(L"VORBEL_ONEFILE_SWEEPER", L"4000000000:" + name);  // a start that has ended
  ProcessResult swept = app.run({L"--exit", L"4"}, sweeper);
  EXPECT_EQ(swept.exit_code, 0u) << swept.out << swept.err;
  EXPECT_EQ(swept.out + swept.err, "");
  EXPECT_FALSE(fs::exists(other)) << "the other version's bundle is swept";
  EXPECT_EQ(bundles_of(app), bundles) << "the named one is kept";
  EXPECT_EQ(write_times(bundles[0]), written);
  EXPECT_TRUE(app.left_in_temp().empty()) << "nothing unpacked";
}

}  // namespace
