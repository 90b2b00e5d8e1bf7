// Tests of the own executable path: both forms and their caches, prefix
// removal, the short-form rewrite and its corner cases. A copy of this
// program at a path written out here shows both forms; only the short name
// of its one long folder is the system's, as it reports it at run time.
#include "paths/exe_path.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "common/system_calls.h"
#include "tests/support/scenario.h"
#include "tests/support/system_call_override.h"
#include "tests/support/test_fs.h"

namespace {

std::wstring module_name() {
  wchar_t path[EXE_PATH_CAPACITY];
  GetModuleFileNameW(nullptr, path, EXE_PATH_CAPACITY);
  return path;
}

const wchar_t COPY_TOP[] = L"C:\\vrbexe";
const wchar_t COPY_FOLDER[] = L"C:\\vrbexe\\Long Folder";
const wchar_t COPY[] = L"C:\\vrbexe\\Long Folder\\prog.exe";

// The copy for one test, removed at its end.
struct PlacedCopy {
  PlacedCopy() {
    std::filesystem::create_directories(COPY_FOLDER);
    std::filesystem::copy_file(own_executable(), COPY, std::filesystem::copy_options::overwrite_existing);
  }
  ~PlacedCopy() {
    std::error_code ignored;
    std::filesystem::remove_all(COPY_TOP, ignored);
  }
  PlacedCopy(const PlacedCopy&) = delete;
  PlacedCopy& operator=(const PlacedCopy&) = delete;
};

// The copy's path with its folders in short form, by the system's report.
std::string short_copy_path() {
  wchar_t folder[MAX_PATH];
  DWORD length = GetShortPathNameW(COPY_FOLDER, folder, MAX_PATH);
  EXPECT_NE(length, 0u);
  return narrow(std::wstring(folder, length)) + "\\prog.exe";
}

// A stand-in for GetFinalPathNameByHandleW that reports a chosen path.
const wchar_t* reported_final_path = L"";

DWORD WINAPI fake_final_path(HANDLE, LPWSTR buffer, DWORD size, DWORD) {
  DWORD length = static_cast<DWORD>(wcslen(reported_final_path));
  if (length + 1 > size) return length + 1;
  wcscpy(buffer, reported_final_path);
  return length;
}

DWORD WINAPI failing_final_path(HANDLE, LPWSTR, DWORD, DWORD) {
  return 0;
}

FARPROC final_path_function = nullptr;

FARPROC WINAPI fake_lookup(HMODULE module, LPCSTR name) {
  if (strcmp(name, "GetFinalPathNameByHandleW") == 0) return final_path_function;
  return GetProcAddress(module, name);
}

std::wstring resolve(const std::wstring& path, size_t capacity = EXE_PATH_CAPACITY) {
  std::wstring buffer = path;
  buffer.resize(capacity, L'\0');
  resolve_final_path(buffer.data(), capacity);
  return buffer.c_str();
}

TEST(ResolveFinalPath, RemovesTheLongPathPrefixes) {
  SystemCallOverride lookup(system_calls.GetProcAddress, fake_lookup);
  final_path_function = reinterpret_cast<FARPROC>(fake_final_path);
  struct Case {
    const wchar_t* reported;
    const wchar_t* resolved;
  };
  // Directories that do not exist keep their long form.
  const Case cases[] = {
      {L"\\\\?\\C:\\no such dir\\a.exe", L"C:\\no such dir\\a.exe"},
      {L"\\\\?\\UNC\\server\\share\\dir\\a.exe", L"\\\\server\\share\\dir\\a.exe"},
      {L"\\\\?\\Volume{0123}\\dir\\a.exe", L"\\\\?\\Volume{0123}\\dir\\a.exe"},
      {L"C:\\plain\\a.exe", L"C:\\plain\\a.exe"},
  };
  for (const auto& c : cases) {
    reported_final_path = c.reported;
    EXPECT_EQ(resolve(module_name()), c.resolved) << narrow(c.reported);
  }
}

VORBEL_SCENARIO(print_own_paths) {
  const wchar_t* plain = get_executable_path(false);
  const wchar_t* resolved = get_executable_path(true);
  std::printf("plain=%s\nresolved=%s\ncached=%s\n", narrow(plain).c_str(), narrow(resolved).c_str(),
              get_executable_path(false) == plain && get_executable_path(true) == resolved ? "yes" : "no");
  // Systems without GetFinalPathNameByHandleW, or where it fails, shorten
  // the module name itself.
  system_calls.GetProcAddress = fake_lookup;
  for (FARPROC function : {FARPROC{nullptr}, reinterpret_cast<FARPROC>(failing_final_path)}) {
    final_path_function = function;
    std::printf("without final path=%s\n", narrow(resolve(module_name())).c_str());
  }
  return 0;
}

TEST(GetExecutablePath, ThePlainFormIsTheModuleNameAndTheResolvedOneHasShortFolders) {
  PlacedCopy copy;
  ProcessResult result = run_process(COPY, L"prog.exe --scenario=print_own_paths");
  const std::string resolved = short_copy_path();
  EXPECT_EQ(result.out, text_mode("plain=C:\\vrbexe\\Long Folder\\prog.exe\nresolved=" + resolved +
                                  "\ncached=yes\nwithout final path=" + resolved + "\nwithout final path=" +
                                  resolved + "\n"));
  EXPECT_EQ(result.exit_code, 0u) << result.err;
}

TEST(ToShortPath, KeepsTheFileNameAndLeavesUnknownDirectoriesAlone) {
  struct Case {
    const wchar_t* path;
    const wchar_t* result;
  };
  const Case cases[] = {
      {L"C:\\no such directory\\Long File Name.exe", L"C:\\no such directory\\Long File Name.exe"},
      {L"no backslash at all", L"no backslash at all"},
      {L"\\leading.exe", L"\\leading.exe"},
  };
  for (const auto& c : cases) {
    std::wstring buffer = c.path;
    buffer.resize(EXE_PATH_CAPACITY, L'\0');
    to_short_path(buffer.data(), EXE_PATH_CAPACITY);
    EXPECT_EQ(std::wstring(buffer.c_str()), c.result);
  }
}

VORBEL_SCENARIO(resolve_missing_file) {
  resolve(L"C:\\no such directory\\missing.exe");
  return 0;
}

VORBEL_SCENARIO(resolve_final_path_too_long) {
  static std::wstring too_long = L"C:\\" + std::wstring(3000, L'x') + L"\\a.exe";
  reported_final_path = too_long.c_str();
  final_path_function = reinterpret_cast<FARPROC>(fake_final_path);
  system_calls.GetProcAddress = fake_lookup;
  resolve(module_name(), 2048);
  return 0;
}

VORBEL_SCENARIO(short_path_does_not_fit) {
  // The directory part is short already, but the file name brought back
  // after it does not fit the capacity.
  std::wstring buffer = std::wstring(L"C:\\nowhere\\") + std::wstring(30, L'f');
  to_short_path(buffer.data(), 20);
  return 0;
}

TEST(ResolveFinalPath, WhatCannotBeResolvedStopsTheProcessQuietly) {
  for (const char* scenario : {"resolve_missing_file", "resolve_final_path_too_long", "short_path_does_not_fit"}) {
    ProcessResult result = run_scenario(scenario);
    EXPECT_EQ(result.exit_code, ABORT_STATUS) << scenario;
    EXPECT_EQ(result.out, "") << scenario;
    EXPECT_EQ(result.err.find("Error"), std::string::npos) << scenario;
  }
}

}  // namespace
