// What the cached mode's end-to-end tests share: packing a program with
// --cache, its application folder and bundles, the stamps on their locks,
// another version of it, and waiting for the sweepers its starts leave.
#pragma once

#include <windows.h>
// After windows.h, whose types it uses.
#include <gtest/gtest.h>
#include <psapi.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace cached_mode_e2e {

namespace fs = std::filesystem;

inline const std::vector<std::wstring> CACHE = {L"--cache"};

inline fs::path application_folder(const PackedApp& app) { return app.local / L"app"; }

// The application folder's directories, split by whether they are a first
// start's working directory.
inline std::vector<fs::path> folders_of(const PackedApp& app, bool working) {
  std::vector<fs::path> found;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(application_folder(app), ignored)) {
    bool is_working = entry.path().filename().wstring().rfind(L"unpacking_", 0) == 0;
    if (is_working == working) found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

inline std::vector<fs::path> bundles_of(const PackedApp& app) { return folders_of(app, false); }
inline std::vector<fs::path> working_folders_of(const PackedApp& app) { return folders_of(app, true); }

// Every file and directory of a bundle with its last write time; the lock
// with its name alone, as each start stamps it with the time of its use.
inline std::map<std::string, fs::file_time_type> write_times(const fs::path& root) {
  std::map<std::string, fs::file_time_type> times;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    bool lock = entry.path().filename() == L"vorbel.lck";
    times[narrow(fs::relative(entry.path(), root).wstring())] = lock ? fs::file_time_type{} : entry.last_write_time();
  }
  return times;
}

inline uint64_t now_stamp() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

inline constexpr uint64_t DAY = 24ull * 3600 * 10000000;

// The time of a bundle's last use, as its lock's last-write time says.
inline uint64_t lock_stamp(const fs::path& bundle) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  EXPECT_TRUE(GetFileAttributesExW((bundle / L"vorbel.lck").c_str(), GetFileExInfoStandard, &data));
  return (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

inline void set_lock_stamp(const fs::path& bundle, uint64_t stamp) {
  HANDLE lock = CreateFileW((bundle / L"vorbel.lck").c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  FILETIME time = {static_cast<DWORD>(stamp), static_cast<DWORD>(stamp >> 32)};
  EXPECT_TRUE(SetFileTime(lock, nullptr, nullptr, &time));
  CloseHandle(lock);
}

// The report with the program's own scratch directory written as "<scratch>".
inline std::multimap<std::string, std::string> report_in(const PackedApp& app, const ProcessResult& result) {
  std::string out = result.out;
  const std::string scratch = narrow(app.scratch.path().wstring());
  for (size_t at = out.find(scratch); at != std::string::npos; at = out.find(scratch, at)) {
    out.replace(at, scratch.size(), "<scratch>");
  }
  return report_of(out);
}

// Whether a process runs the program at exe: a start, or the detached
// sweeper that a start left to go on with a removal.
inline bool program_runs(const fs::path& exe) {
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
inline void wait_for_sweepers(const fs::path& exe) {
  for (int waited = 0; waited < 120000 && program_runs(exe); waited += 50) Sleep(50);
  EXPECT_FALSE(program_runs(exe)) << "a sweeper still runs";
}

inline void expect_runs(const PackedApp& app, const char* when) {
  ProcessResult result = app.run({L"--exit", L"4"});
  EXPECT_EQ(result.exit_code, 4u) << when << ": " << result.out << result.err;
  EXPECT_EQ(value(report_of(result.out), "helper"), "hello from sample_helper.dll") << when;
}

// Another packed program in app's scratch directory, run with app's TEMP and
// %LOCALAPPDATA%: the same application folder ("app", from the file name).
inline ProcessResult run_other(const PackedApp& app, const fs::path& exe, const std::wstring& arguments,
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
inline fs::path pack_next_version(const PackedApp& old_app, const std::wstring& name = L"new",
                           const std::string& readme = "readmf") {
  fs::path changed = old_app.scratch.path() / (L"changed-" + name);
  write_file(changed / L"readme.txt", readme);
  fs::path new_exe = old_app.scratch.path() / name / L"app.exe";
  fs::create_directories(new_exe.parent_path());
  run_pack({L"build", L"--launcher", launcher_exe(), L"--app", probe_app_dll(), L"--add", changed.wstring(), L"--cache",
            L"-o", new_exe.wstring()});
  return new_exe;
}

}  // namespace cached_mode_e2e
