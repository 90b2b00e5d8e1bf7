// The cached mode end to end: packed with --cache, the program unpacks once
// into a bundle below its own %LOCALAPPDATA% and runs later starts from it;
// the bundle survives races, damage and kills, is replaced when the payload
// changes (the old one removed by a detached sweeper when the start would
// wait for it), and never is a directory someone else put in its place.
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

#include "tests/e2e/e2e_support.h"
#include "tests/support/random_runs.h"

namespace fs = std::filesystem;

namespace {

const std::vector<std::wstring> CACHE = {L"--cache"};

fs::path application_folder(const PackedApp& app) { return app.local / L"app"; }

// The application folder's directories, split by whether they are a first
// start's working directory.
std::vector<fs::path> folders_of(const PackedApp& app, bool working) {
  std::vector<fs::path> found;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(application_folder(app), ignored)) {
    bool is_working = entry.path().filename().wstring().rfind(L"unpacking_", 0) == 0;
    if (is_working == working) found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::vector<fs::path> bundles_of(const PackedApp& app) { return folders_of(app, false); }
std::vector<fs::path> working_folders_of(const PackedApp& app) { return folders_of(app, true); }

// Every file and directory of a bundle with its last write time; the lock
// with its name alone, as each start stamps it with the time of its use.
std::map<std::string, fs::file_time_type> write_times(const fs::path& root) {
  std::map<std::string, fs::file_time_type> times;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    bool lock = entry.path().filename() == L"vorbel.lck";
    times[narrow(fs::relative(entry.path(), root).wstring())] = lock ? fs::file_time_type{} : entry.last_write_time();
  }
  return times;
}

uint64_t now_stamp() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

constexpr uint64_t DAY = 24ull * 3600 * 10000000;

// The time of a bundle's last use, as its lock's last-write time says.
uint64_t lock_stamp(const fs::path& bundle) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  EXPECT_TRUE(GetFileAttributesExW((bundle / L"vorbel.lck").c_str(), GetFileExInfoStandard, &data));
  return (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

void set_lock_stamp(const fs::path& bundle, uint64_t stamp) {
  HANDLE lock = CreateFileW((bundle / L"vorbel.lck").c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  FILETIME time = {static_cast<DWORD>(stamp), static_cast<DWORD>(stamp >> 32)};
  EXPECT_TRUE(SetFileTime(lock, nullptr, nullptr, &time));
  CloseHandle(lock);
}

// The report with the program's own scratch directory written as "<scratch>".
std::multimap<std::string, std::string> report_in(const PackedApp& app, const ProcessResult& result) {
  std::string out = result.out;
  const std::string scratch = narrow(app.scratch.path().wstring());
  for (size_t at = out.find(scratch); at != std::string::npos; at = out.find(scratch, at)) {
    out.replace(at, scratch.size(), "<scratch>");
  }
  return report_of(out);
}

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

// Whether a process runs the program at exe: a start, or the detached
// sweeper that a start left to go on with a removal.
bool program_runs(const fs::path& exe) {
  DWORD ids[4096];
  DWORD bytes = 0;
  if (!K32EnumProcesses(ids, sizeof ids, &bytes)) return false;
  for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ids[i]);
    if (process == nullptr) continue;
    wchar_t image[MAX_PATH * 4];
    DWORD length = MAX_PATH * 4;
    DWORD status = 0;
    bool same = QueryFullProcessImageNameW(process, 0, image, &length) && _wcsicmp(image, exe.wstring().c_str()) == 0 &&
                GetExitCodeProcess(process, &status) && status == STILL_ACTIVE;
    CloseHandle(process);
    if (same) return true;
  }
  return false;
}

// Waits for the sweepers the starts of exe left, 120 s at most: what a test
// looks at afterwards is what the removals left.
void wait_for_sweepers(const fs::path& exe) {
  for (int waited = 0; waited < 120000 && program_runs(exe); waited += 50) Sleep(50);
  EXPECT_FALSE(program_runs(exe)) << "a sweeper still runs";
}

void expect_runs(const PackedApp& app, const char* when) {
  ProcessResult result = app.run({L"--exit", L"4"});
  EXPECT_EQ(result.exit_code, 4u) << when << ": " << result.out << result.err;
  EXPECT_EQ(value(report_of(result.out), "helper"), "hello from sample_helper.dll") << when;
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

// Another packed program in app's scratch directory, run with app's TEMP and
// %LOCALAPPDATA%: the same application folder ("app", from the file name).
ProcessResult run_other(const PackedApp& app, const fs::path& exe, const std::wstring& arguments,
                        RunOptions options = {}) {
  options.env.emplace(L"TMP", app.temp.wstring());
  options.env.emplace(L"TEMP", app.temp.wstring());
  options.env.emplace(L"LOCALAPPDATA", app.local.wstring());
  options.env.emplace(L"VORBEL_ONEFILE_PARENT", std::nullopt);
  options.env.emplace(L"VORBEL_ONEFILE_START", std::nullopt);
  options.current_directory = app.scratch.str();
  return run_process(exe.wstring(), L"app.exe " + arguments, options);
}

// Another version of old_app (the probe application packed with data): the
// same files but readme's text, under the same application folder.
fs::path pack_next_version(const PackedApp& old_app, const std::wstring& name = L"new",
                           const std::string& readme = "readmf") {
  fs::path changed = old_app.scratch.path() / (L"changed-" + name);
  write_file(changed / L"readme.txt", readme);
  fs::path new_exe = old_app.scratch.path() / name / L"app.exe";
  fs::create_directories(new_exe.parent_path());
  run_pack({L"build", L"--launcher", launcher_exe(), L"--app", probe_app_dll(), L"--add", changed.wstring(), L"--cache",
            L"-o", new_exe.wstring()});
  return new_exe;
}

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
