// Leftovers end to end: whole runs of a packed program sweep what earlier
// runs left in the same %TEMP%, at most a bound a run, and never what a
// running program uses. Stale directories are made directly where that shows
// the same as killing launchers; the parallel test kills them for real.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <set>

#include "shutdown/leftover_sweep.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/random_runs.h"

namespace fs = std::filesystem;

namespace {

std::set<fs::path> in_temp(const PackedApp& app) {
  std::vector<fs::path> left = app.left_in_temp();
  return {left.begin(), left.end()};
}

constexpr int runs_to_take(size_t directories) {
  return static_cast<int>((directories + SWEEP_DIRECTORIES_PER_RUN - 1) / SWEEP_DIRECTORIES_PER_RUN);
}

// Ends every process still running the packed program: one whose launcher
// was killed between starting it suspended and letting it run never runs.
void end_processes_of(const fs::path& exe) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL listed = Process32FirstW(snapshot, &entry); listed; listed = Process32NextW(snapshot, &entry)) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    if (process == nullptr) continue;
    wchar_t image[MAX_PATH * 4];
    DWORD length = MAX_PATH * 4;
    bool ours = QueryFullProcessImageNameW(process, 0, image, &length) && _wcsicmp(image, exe.c_str()) == 0;
    CloseHandle(process);
    if (ours) end_process_hard(entry.th32ProcessID);
  }
  CloseHandle(snapshot);
}

TEST(Leftovers, AHundredStaleDirectoriesGoABoundedNumberARunUntilNoneIsLeft) {
  PackedApp app(probe_app_dll(), false);
  // As runs killed long ago leave them: the lock, files, a subdirectory; ids
  // that no process has.
  for (int i = 0; i < 100; ++i) {
    fs::path dir = app.temp / (L"onefile_" + std::to_wstring(4000000000u + i) + L"_" + std::to_wstring(1000 + i));
    write_file(dir / L"vorbel.lck", "");
    write_file(dir / L"probe_app.dll", "stale");
    write_file(dir / L"lib" / L"helper.dll", "stale");
  }
  size_t left = 100;
  int runs = 0;
  while (left > 0 && runs < 2 * runs_to_take(100)) {
    DWORD started = GetTickCount();
    ProcessResult result = app.run({L"--fault", L"exit-process", L"9"});
    DWORD took = GetTickCount() - started;
    ++runs;
    ASSERT_EQ(result.exit_code, 9u) << result.out << result.err;
    size_t now_left = app.left_in_temp().size();
    std::printf("run %d: %zu removed in a run of %lu ms\n", runs, left - now_left, static_cast<unsigned long>(took));
    EXPECT_LE(left - now_left, static_cast<size_t>(SWEEP_DIRECTORIES_PER_RUN));
    left = now_left;
  }
  EXPECT_EQ(left, 0u) << "after " << runs << " runs";
  // Each run could take on its full share: the bound's share, not the time's,
  // sets how many runs it takes (some slack for a loaded machine).
  EXPECT_LE(runs, runs_to_take(100) + 2);
}

enum class Fate {
  ENDS,                        // nobody interferes
  LAUNCHER_KILLED,             // at a random moment: unpacking, running the child, cleaning up, or after its end
  LAUNCHER_KILLED_CHILD_RUNS,  // once the application runs, which goes on
  BOTH_KILLED,                 // once the application runs
};

struct ParallelRun {
  Fate fate;
  DWORD kill_after_ms = 0;
  fs::path marker;
  std::unique_ptr<RunningProcess> launcher;
  DWORD child = 0;
  bool done = false;
};

TEST(Leftovers, ParallelRunsSomeKilledAtRandomLeaveOnlyWhatRunningApplicationsUseAndLaterRunsTheRest) {
  constexpr unsigned kRuns = 64;
  const unsigned seed = run_seed("VORBEL_LEFTOVERS_SEED", "parallel runs", kRuns);
  std::mt19937 random(seed);
  PackedApp app(probe_app_dll(), false);
  const std::set<fs::path> before = in_temp(app);
  InTempOf environment(app);

  std::vector<ParallelRun> runs(kRuns);
  for (unsigned i = 0; i < kRuns; ++i) {
    ParallelRun& run = runs[i];
    run.fate = static_cast<Fate>(random() % 4);
    run.kill_after_ms = random() % 1500;
    run.marker = app.scratch.path() / (L"runs-" + std::to_wstring(i));
    // The ones to be killed while the application runs wait for their
    // marker's removal; the others end at once.
    bool waits = run.fate == Fate::LAUNCHER_KILLED_CHILD_RUNS || run.fate == Fate::BOTH_KILLED;
    std::wstring arguments =
        waits ? L"--fault wait-while " + quote_argument(run.marker.wstring()) : L"--fault exit-process 5";
    run.launcher = std::make_unique<RunningProcess>(app.exe.wstring(), L"app.exe " + arguments);
    ASSERT_NE(run.launcher->id(), 0u);
  }
  const DWORD started = GetTickCount();
  std::set<DWORD> running_children;  // of the launchers killed while their application runs
  std::set<DWORD> still_using;       // those launchers' ids: their directories must stay
  for (size_t pending = kRuns; pending > 0;) {
    ASSERT_LT(GetTickCount() - started, 300000u) << pending << " runs still pending";
    for (ParallelRun& run : runs) {
      if (run.done) continue;
      bool ended = WaitForSingleObject(run.launcher->handle(), 0) == WAIT_OBJECT_0;
      switch (run.fate) {
        case Fate::ENDS:
          if (ended) {
            DWORD status = 0;
            GetExitCodeProcess(run.launcher->handle(), &status);
            EXPECT_EQ(status, 5u) << "a run that was left alone ran to its end";
            run.done = true;
          }
          break;
        case Fate::LAUNCHER_KILLED:
          if (ended || GetTickCount() - started >= run.kill_after_ms) {
            TerminateProcess(run.launcher->handle(), 1);
            run.done = true;
          }
          break;
        case Fate::LAUNCHER_KILLED_CHILD_RUNS:
        case Fate::BOTH_KILLED:
          if (fs::exists(run.marker)) {
            run.child = wait_for_probe_id(run.marker, 10000);
            ASSERT_NE(run.child, 0u);
            ASSERT_TRUE(TerminateProcess(run.launcher->handle(), 1));
            WaitForSingleObject(run.launcher->handle(), INFINITE);
            if (run.fate == Fate::BOTH_KILLED) {
              end_process_hard(run.child);
            } else {
              running_children.insert(run.child);
              still_using.insert(run.launcher->id());
            }
            run.done = true;
          } else {
            ASSERT_FALSE(ended) << "a launcher to be killed ended by itself";
          }
          break;
      }
      if (run.done) --pending;
    }
    Sleep(10);
  }
  for (ParallelRun& run : runs) WaitForSingleObject(run.launcher->handle(), INFINITE);

  // Further runs clear what the killed runs left, and leave alone what the
  // running applications use.
  auto stale = [&] {
    std::vector<fs::path> found;
    for (const fs::path& dir : app.left_in_temp()) {
      std::wstring name = dir.filename().wstring();
      DWORD id = static_cast<DWORD>(std::wcstoul(name.c_str() + wcslen(L"onefile_"), nullptr, 10));
      if (still_using.count(id) == 0 && before.count(dir) == 0) found.push_back(dir);
    }
    return found;
  };
  size_t stale_after_runs = stale().size();
  std::printf("%zu runs' applications still run; %zu directories stale after the parallel runs\n", still_using.size(),
              stale_after_runs);
  int further = 0;
  for (; !stale().empty() && further < runs_to_take(stale_after_runs) + 2; ++further) {
    ProcessResult result = app.run({L"--fault", L"exit-process", L"7"});
    ASSERT_EQ(result.exit_code, 7u) << result.out << result.err;
  }
  EXPECT_TRUE(stale().empty()) << stale().size() << " left after " << further << " further runs";
  std::set<fs::path> left = in_temp(app);
  EXPECT_EQ(left.size(), before.size() + still_using.size());
  for (const fs::path& dir : left) {
    if (before.count(dir) != 0) continue;
    EXPECT_EQ(tree_of(dir), (std::vector<std::string>{"probe_app.dll", "sample_helper.dll", "vorbel.lck"})) << dir;
    EXPECT_TRUE(lock_is_held(dir)) << dir;
  }

  // The applications end; so many runs again leave TEMP as it was.
  for (ParallelRun& run : runs) {
    std::error_code ignored;
    fs::remove(run.marker, ignored);
  }
  for (DWORD child : running_children) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, child);
    if (process != nullptr) {
      WaitForSingleObject(process, 60000);
      CloseHandle(process);
    }
  }
  further = 0;
  for (; in_temp(app) != before && further < runs_to_take(still_using.size()) + 2; ++further) {
    ProcessResult result = app.run({L"--fault", L"exit-process", L"7"});
    ASSERT_EQ(result.exit_code, 7u) << result.out << result.err;
  }
  EXPECT_EQ(in_temp(app), before) << "after " << further << " further runs";
  end_processes_of(app.exe);
}

}  // namespace
