// Tests of the own executable path: both forms and their caches, prefix
// removal, the short-form rewrite and its corner cases. Expected values are
// computed from what the system reports at run time.
#include "paths/exe_path.h"

#include <gtest/gtest.h>

#include <string>

#include "common/system_calls.h"
#include "tests/support/scenario.h"
#include "tests/support/system_call_override.h"

namespace {

std::wstring module_name() {
  wchar_t path[EXE_PATH_CAPACITY];
  GetModuleFileNameW(nullptr, path, EXE_PATH_CAPACITY);
  return path;
}

// The short form of the directories, the file name as it stands.
std::wstring short_directories(const std::wstring& path) {
  size_t cut = path.find_last_of(L'\\');
  std::wstring directory = path.substr(0, cut);
  wchar_t short_form[EXE_PATH_CAPACITY];
  DWORD length = GetShortPathNameW(directory.c_str(), short_form, EXE_PATH_CAPACITY);
  if (length == 0) return path;
  return std::wstring(short_form, length) + path.substr(cut);
}

std::wstring final_path_of(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), 0, 7, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  wchar_t final_path[EXE_PATH_CAPACITY];
  DWORD length = GetFinalPathNameByHandleW(file, final_path, EXE_PATH_CAPACITY, 0);
  CloseHandle(file);
  std::wstring text(final_path, length);
  if (text.rfind(L"\\\\?\\", 0) == 0 && text.size() > 5 && text[5] == L':') text = text.substr(4);
  return text;
}

TEST(GetExecutablePath, PlainFormIsTheModuleNameAndIsCached) {
  const wchar_t* first = get_executable_path(false);
  EXPECT_EQ(std::wstring(first), module_name());
  EXPECT_EQ(get_executable_path(false), first);
}

TEST(GetExecutablePath, ResolvedFormIsTheFinalPathWithShortDirectories) {
  const wchar_t* first = get_executable_path(true);
  EXPECT_EQ(std::wstring(first), short_directories(final_path_of(module_name())));
  EXPECT_EQ(std::wstring(first).substr(std::wstring(first).find_last_of(L'\\')),
            module_name().substr(module_name().find_last_of(L'\\')))
      << "the file name keeps its long form";
  EXPECT_EQ(get_executable_path(true), first);
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

TEST(ResolveFinalPath, WithoutTheFinalPathFunctionTheModuleNameIsShortened) {
  SystemCallOverride lookup(system_calls.GetProcAddress, fake_lookup);
  for (FARPROC function : {FARPROC{nullptr}, reinterpret_cast<FARPROC>(failing_final_path)}) {
    final_path_function = function;
    EXPECT_EQ(resolve(module_name()), short_directories(module_name()));
  }
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
