// Shared pieces of the end-to-end tests: packing launchers with the build
// tool (itself running under Wine), running them as a user would, and
// reading the applications' reports.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/payload_builder.h"
#include "tests/support/process_runner.h"
#include "tests/support/test_fs.h"

std::wstring built_file(const char* unix_path);
// The shipped launcher, or its test variant while VORBEL_WINDOWS_BEHAVIOURS
// names Windows behaviours for it to show (tests/behaviours/).
std::wstring launcher_exe();
std::wstring pack_exe();
std::wstring sample_app_dll();
std::wstring sample_helper_dll();
// The probe application (tests/apps/probe_app.cpp).
std::wstring probe_app_dll();

// Runs vorbel-pack with the given arguments; fails the test when it fails.
ProcessResult run_pack(const std::vector<std::wstring>& arguments);

// A packed sample application in a scratch directory of its own, with its
// own %TEMP% (tmp\) so that what a run leaves behind can be seen.
// Its %LOCALAPPDATA% is its own too (local\), for the cached mode's bundles;
// pack_options go to vorbel-pack build before -o.
struct PackedApp {
  explicit PackedApp(const std::wstring& app_dll = sample_app_dll(), bool with_data = true,
                     const std::vector<std::wstring>& pack_options = {});
  // Runs exe with the arguments, typed as argv0, in directory cwd (default:
  // the scratch directory).
  ProcessResult run(const std::vector<std::wstring>& arguments, RunOptions options = {},
                    const std::wstring& argv0 = L"app.exe") const;
  std::vector<std::filesystem::path> left_in_temp() const;

  ScratchDir scratch;
  std::filesystem::path exe;
  std::filesystem::path temp;
  std::filesystem::path local;
};

// For processes a test starts itself (RunningProcess inherits the test's
// environment): the packed program's %TEMP% is app's own, and it runs as
// started by a user, not as a copy of another run.
struct InTempOf {
  explicit InTempOf(const PackedApp& app);
  ScopedEnv temp;
  ScopedEnv tmp;
  ScopedEnv parent;
  ScopedEnv start;
  ScopedEnv local;
};

// Starts app (the probe application) with "--fault wait-while marker", waits
// until the application runs and kills the extracting instance hard, as Task
// Manager's "End task" does; the application's process id (0 when it did not
// start). The application runs on until marker is removed.
DWORD orphan_application(const PackedApp& app, const std::filesystem::path& marker);

// A launcher with a hand-made payload resource embedded as it stands, with
// its own %TEMP% like PackedApp.
struct EmbeddedPayload {
  explicit EmbeddedPayload(const std::vector<TestEntry>& entries);  // as stored blocks, no checksum
  explicit EmbeddedPayload(const std::string& resource);
  ProcessResult run() const;

  ScratchDir scratch;
  std::filesystem::path exe;
  std::filesystem::path temp;
};

// "key=value" lines of the sample application's report, or of the probe's plain ones.
std::multimap<std::string, std::string> report_of(const std::string& out);
std::vector<std::string> values(const std::multimap<std::string, std::string>& report, const std::string& key);
std::string value(const std::multimap<std::string, std::string>& report, const std::string& key);

// Every file and directory below root, relative, sorted.
std::vector<std::string> tree_of(const std::filesystem::path& root);

// Removes what a run left, retrying while a process that is ending still holds it.
void remove_left(const std::filesystem::path& path);

// True once path exists, waiting at most timeout_ms.
bool wait_for(const std::filesystem::path& path, DWORD timeout_ms);

// The process id that the probe application's "--fault wait-while FILE"
// writes into FILE, once it is there (0 after timeout_ms).
DWORD wait_for_probe_id(const std::filesystem::path& marker, DWORD timeout_ms);

// Whether a process holds the extraction directory's lock: it then refuses
// an open for deletion with ERROR_SHARING_VIOLATION.
bool lock_is_held(const std::filesystem::path& directory);

// Ends the process with the given id hard, as Task Manager's "End task" does.
void end_process_hard(DWORD id);

// Whether VORBEL_WINDOWS_BEHAVIOURS names the behaviour ("path-limits",
// "scanner", "elevated"), for the test variant of the launcher.
bool behaviour_on(const wchar_t* behaviour);

// Waits as long as the layer's scanner holds a file after it is written
// (nothing when the scanner is off).
void wait_out_scanner_holds();

// For a scope: the test variant of the launcher shows the behaviours (a
// VORBEL_WINDOWS_BEHAVIOURS value), its processes sharing a state file of
// their own. Launchers packed within the scope are the variant.
struct WithBehaviours {
  explicit WithBehaviours(const std::wstring& behaviours);
  ScratchDir state_dir;
  ScopedEnv behaviours;
  ScopedEnv state;
};

// A case that meets, under a behaviour of the layer, a fault of the launcher
// that is known and not fixed yet: skipped, naming the behaviour and the fault.
#define SKIP_KNOWN_UNDER(behaviour, fault) \
  if (behaviour_on(behaviour))             \
  GTEST_SKIP() << "known under the Windows behaviour " << narrow(behaviour) << ": " << fault
