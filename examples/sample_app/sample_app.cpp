// The sample application: a DLL exporting run_code, packed into the launcher
// by `make demo`, the pattern for packing one's own, and driven by the
// end-to-end tests. It reports what it sees (arguments, VORBEL_ variables,
// current directory, its own directory, a call into the helper DLL it imports,
// the files beside it) as UTF-8 "key=value" lines on standard output, and acts
// on a few options:
//   --exit N        return N (decimal or 0x hex, all 32 bits)
//   --sleep MS      wait before returning
//   --hashes        print a hash of each file found beside the application
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "sample_helper.h"

namespace {

void write_line(const std::wstring& text) {
  std::wstring line = text + L"\n";
  int length =
      WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), length, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring env(const wchar_t* name) {
  std::vector<wchar_t> value(32768);
  SetLastError(0);
  DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
  if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return L"<unset>";
  return std::wstring(value.data(), length);
}

std::wstring own_directory() {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&own_directory), &self);
  std::vector<wchar_t> path(32768);
  DWORD length = GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()));
  std::wstring text(path.data(), length);
  return text.substr(0, text.find_last_of(L'\\'));
}

void list_files(const std::wstring& root, const std::wstring& relative, bool hashes) {
  WIN32_FIND_DATAW found;
  std::wstring pattern = root + (relative.empty() ? L"" : L"\\" + relative) + L"\\*";
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<std::wstring> directories;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    std::wstring entry = relative.empty() ? name : relative + L"\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      directories.push_back(entry);
    } else if (hashes) {
      unsigned long long hash = 0, size = 0;
      sample_file_hash((root + L"\\" + entry).c_str(), &hash, &size);
      wchar_t text[64];
      swprintf(text, 64, L" %llu %016llx", size, hash);
      write_line(L"file=" + entry + text);
    } else {
      write_line(L"file=" + entry);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  for (const auto& directory : directories) list_files(root, directory, hashes);
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv) {
  write_line(L"argc=" + std::to_wstring(argc));
  for (int i = 0; i < argc; ++i) write_line(L"argv[" + std::to_wstring(i) + L"]=" + argv[i]);
  for (const wchar_t* name : {L"VORBEL_ONEFILE_PARENT", L"VORBEL_ONEFILE_START", L"VORBEL_ONEFILE_DIRECTORY",
                              L"VORBEL_ORIGINAL_ARGV0", L"VORBEL_ONEFILE_CONTENTS"}) {
    write_line(std::wstring(name) + L"=" + env(name));
  }
  std::vector<wchar_t> cwd(32768);
  DWORD cwd_length = GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data());
  write_line(L"cwd=" + std::wstring(cwd.data(), cwd_length));
  std::wstring directory = own_directory();
  write_line(L"app_dir=" + directory);
  write_line(std::wstring(L"helper=") + sample_greeting());

  bool hashes = false;
  unsigned long status = 0;
  for (int i = 1; i < argc; ++i) {
    std::wstring option = argv[i];
    bool has_value = i + 1 < argc;
    if (option == L"--hashes") {
      hashes = true;
    } else if (option == L"--exit" && has_value) {
      status = wcstoul(argv[++i], nullptr, 0);
    } else if (option == L"--sleep" && has_value) {
      Sleep(wcstoul(argv[++i], nullptr, 10));
    }
  }
  list_files(directory, L"", hashes);
  return static_cast<int>(status);
}
