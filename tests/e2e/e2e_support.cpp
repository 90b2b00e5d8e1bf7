// End-to-end test support; see e2e_support.h.
#include "tests/e2e/e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "tests/behaviours/windows_behaviours.h"

namespace fs = std::filesystem;

namespace {

// The layer's state is shared by the processes of one case; behaviours set
// from outside (the layer's CTest run) get a state file of this program's own.
struct BehavioursState : testing::Environment {
  void SetUp() override {
    if (env_value(WINDOWS_BEHAVIOURS_VARIABLE).value_or(L"").empty()) return;
    if (!env_value(WINDOWS_BEHAVIOURS_STATE_VARIABLE).value_or(L"").empty()) return;
    dir = std::make_unique<ScratchDir>();
    state = std::make_unique<ScopedEnv>(WINDOWS_BEHAVIOURS_STATE_VARIABLE, (dir->path() / L"state").wstring());
  }
  void TearDown() override {
    state.reset();
    dir.reset();
  }
  std::unique_ptr<ScratchDir> dir;
  std::unique_ptr<ScopedEnv> state;
};

const testing::Environment* const behaviours_state = testing::AddGlobalTestEnvironment(new BehavioursState);

}  // namespace

std::wstring built_file(const char* unix_path) {
  return windows_path(unix_path);
}

std::wstring launcher_exe() {
  return built_file(env_value(WINDOWS_BEHAVIOURS_VARIABLE).value_or(L"").empty() ? VORBEL_LAUNCHER_EXE
                                                                                 : VORBEL_BEHAVIOURS_LAUNCHER_EXE);
}
std::wstring pack_exe() {
  return built_file(VORBEL_PACK_EXE);
}
std::wstring sample_app_dll() {
  return built_file(VORBEL_SAMPLE_APP_DLL);
}
std::wstring sample_helper_dll() {
  return built_file(VORBEL_SAMPLE_HELPER_DLL);
}
std::wstring probe_app_dll() {
  return built_file(VORBEL_PROBE_APP_DLL);
}

ProcessResult run_pack(const std::vector<std::wstring>& arguments) {
  std::wstring line = quote_argument(pack_exe());
  for (const auto& argument : arguments) line += L" " + quote_argument(argument);
  ProcessResult result = run_process(pack_exe(), line);
  EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
  return result;
}

PackedApp::PackedApp(const std::wstring& app_dll, bool with_data, const std::vector<std::wstring>& pack_options) {
  exe = scratch.path() / L"app.exe";
  temp = scratch.path() / L"tmp";
  local = scratch.path() / L"local";
  fs::create_directories(temp);
  fs::create_directories(local);
  std::vector<std::wstring> arguments = {L"build", L"--launcher", launcher_exe(), L"--app", app_dll,
                                         L"--add", sample_helper_dll(), L"-o", exe.wstring()};
  if (with_data) {
    fs::path data = scratch.path() / L"data";
    write_file(data / L"readme.txt", "readme");
    write_file(data / L"docs" / L"nested.txt", "nested");
    arguments.insert(arguments.end() - 2, {L"--add", data.wstring()});
  }
  arguments.insert(arguments.end() - 2, pack_options.begin(), pack_options.end());
  run_pack(arguments);
}

ProcessResult PackedApp::run(const std::vector<std::wstring>& arguments, RunOptions options,
                             const std::wstring& argv0) const {
  std::wstring line = quote_argument(argv0);
  for (const auto& argument : arguments) line += L" " + quote_argument(argument);
  options.env.emplace(L"TMP", temp.wstring());
  options.env.emplace(L"TEMP", temp.wstring());
  options.env.emplace(L"LOCALAPPDATA", local.wstring());
  options.env.emplace(L"VORBEL_ONEFILE_PARENT", std::nullopt);
  options.env.emplace(L"VORBEL_ONEFILE_START", std::nullopt);
  if (options.current_directory.empty()) options.current_directory = scratch.str();
  return run_process(exe.wstring(), line, options);
}

std::vector<fs::path> PackedApp::left_in_temp() const {
  std::vector<fs::path> left;
  for (const auto& entry : fs::directory_iterator(temp)) left.push_back(entry.path());
  return left;
}

InTempOf::InTempOf(const PackedApp& app)
    : temp(L"TEMP", app.temp.wstring()),
      tmp(L"TMP", app.temp.wstring()),
      parent(L"VORBEL_ONEFILE_PARENT", std::nullopt),
      start(L"VORBEL_ONEFILE_START", std::nullopt),
      local(L"LOCALAPPDATA", app.local.wstring()) {}

DWORD orphan_application(const PackedApp& app, const fs::path& marker) {
  InTempOf environment(app);
  RunningProcess extracting(app.exe.wstring(), L"app.exe --fault wait-while " + quote_argument(marker.wstring()));
  DWORD child = wait_for_probe_id(marker, 60000);
  TerminateProcess(extracting.handle(), 1);
  WaitForSingleObject(extracting.handle(), INFINITE);
  return child;
}

EmbeddedPayload::EmbeddedPayload(const std::vector<TestEntry>& entries)
    : EmbeddedPayload(payload_resource(stored_frame(entry_stream(entries)))) {}

EmbeddedPayload::EmbeddedPayload(const std::string& resource) {
  exe = scratch.path() / L"app.exe";
  temp = scratch.path() / L"tmp";
  fs::create_directories(temp);
  write_file(scratch.path() / L"payload.bin", resource);
  run_pack({L"embed", L"--launcher", launcher_exe(), L"--payload", (scratch.path() / L"payload.bin").wstring(), L"-o",
            exe.wstring()});
}

ProcessResult EmbeddedPayload::run() const {
  RunOptions options;
  options.env = {{L"TMP", temp.wstring()}, {L"TEMP", temp.wstring()}, {L"VORBEL_ONEFILE_PARENT", std::nullopt}};
  return run_process(exe.wstring(), L"app.exe", options);
}

std::multimap<std::string, std::string> report_of(const std::string& out) {
  std::multimap<std::string, std::string> report;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t equals = line.find('=');
    if (equals != std::string::npos) report.emplace(line.substr(0, equals), line.substr(equals + 1));
  }
  return report;
}

std::vector<std::string> values(const std::multimap<std::string, std::string>& report, const std::string& key) {
  std::vector<std::string> found;
  auto [first, last] = report.equal_range(key);
  for (auto it = first; it != last; ++it) found.push_back(it->second);
  return found;
}

std::string value(const std::multimap<std::string, std::string>& report, const std::string& key) {
  auto found = values(report, key);
  return found.empty() ? "<missing>" : found.front();
}

std::vector<std::string> tree_of(const fs::path& root) {
  std::vector<std::string> found;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    found.push_back(narrow(fs::relative(it->path(), root).wstring()));
  }
  std::sort(found.begin(), found.end());
  return found;
}

void remove_left(const fs::path& path) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::error_code error;
    fs::remove_all(path, error);
    if (!fs::exists(path)) return;
    Sleep(100);
  }
}

bool wait_for(const fs::path& path, DWORD timeout_ms) {
  for (DWORD waited = 0; waited < timeout_ms; waited += 50) {
    if (fs::exists(path)) return true;
    Sleep(50);
  }
  return fs::exists(path);
}

DWORD wait_for_probe_id(const fs::path& marker, DWORD timeout_ms) {
  // The file is there a moment before the id is written into it.
  for (DWORD waited = 0; waited <= timeout_ms; waited += 50) {
    std::string id = fs::exists(marker) ? read_file(marker) : "";
    if (!id.empty()) return static_cast<DWORD>(std::stoul(id));
    Sleep(50);
  }
  return 0;
}

bool lock_is_held(const fs::path& directory) {
  HANDLE lock =
      CreateFileW((directory / L"vorbel.lck").c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (lock != INVALID_HANDLE_VALUE) {
    CloseHandle(lock);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

void end_process_hard(DWORD id) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
  if (process == nullptr) return;
  TerminateProcess(process, 1);
  WaitForSingleObject(process, INFINITE);
  CloseHandle(process);
}

namespace {

// The words of the behaviours this run's layer is given ("scanner=200", ...).
std::vector<std::wstring> behaviour_words() {
  std::vector<std::wstring> found;
  std::wstringstream words(env_value(WINDOWS_BEHAVIOURS_VARIABLE).value_or(L""));
  for (std::wstring word; std::getline(words, word, L',');) found.push_back(word);
  return found;
}

}  // namespace

bool behaviour_on(const wchar_t* behaviour) {
  for (const std::wstring& word : behaviour_words()) {
    if (word == behaviour || word.rfind(std::wstring(behaviour) + L"=", 0) == 0) return true;
  }
  return false;
}

void wait_out_scanner_holds() {
  for (const std::wstring& word : behaviour_words()) {
    if (word == L"scanner") Sleep(SCANNER_DEFAULT_HOLD_MS + 100);
    if (word.rfind(L"scanner=", 0) == 0) Sleep(std::wcstoul(word.c_str() + 8, nullptr, 10) + 100);
  }
}

WithBehaviours::WithBehaviours(const std::wstring& behaviours)
    : behaviours(WINDOWS_BEHAVIOURS_VARIABLE, behaviours),
      state(WINDOWS_BEHAVIOURS_STATE_VARIABLE, (state_dir.path() / L"state").wstring()) {}
