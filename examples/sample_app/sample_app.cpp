// The sample application: a DLL exporting run_code, packed into the launcher
// by `make demo` and driven by the end-to-end tests. It reports what it sees
// (arguments, VORBEL_ variables, current directory, the files beside it) as
// UTF-8 lines on standard output, and acts on a few options:
//   --exit N        return N (decimal or 0x hex, all 32 bits)
//   --sleep MS      wait before returning
//   --relaunch      start the launcher's executable again (argv[0]) with --exit 7, report its status
//   --hold-ms MS    how long the copies --hold starts after it keep their file (default 3000)
//   --hold FILE     start a copy that keeps FILE (beside the application) open; return once it holds it,
//                   reporting the copy's process id
//   --hold-here FILE EVENT MS  keep FILE open for MS ms in this process, signalling EVENT once it is open
//   --hashes        print a hash of each file found beside the application
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "sample_helper.h"

namespace {

void write_line(const std::wstring& text) {
  std::wstring line = text + L"\n";
  int length = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
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

std::wstring quote(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(2 * backslashes, L'\\');
  return quoted + L"\"";
}

// Starts the launcher's own executable again; it inherits this process's
// environment, so it finds the running extracting instance and runs this
// application again without unpacking.
// The holder (wait false) is started without standard streams: with this
// process's, it would keep them open, and whoever reads them to their end
// waiting, for as long as it holds its file.
DWORD start_again(const std::wstring& launcher, const std::wstring& arguments, bool wait, DWORD* id = nullptr) {
  std::wstring line = quote(launcher) + L" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (!wait) startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION child = {};
  if (!CreateProcessW(launcher.c_str(), line.data(), nullptr, nullptr, wait, 0, nullptr, nullptr, &startup, &child)) {
    return 0xFFFFFFFF;
  }
  DWORD status = 0;
  if (id != nullptr) *id = child.dwProcessId;
  if (wait) {
    WaitForSingleObject(child.hProcess, INFINITE);
    GetExitCodeProcess(child.hProcess, &status);
  }
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  return status;
}

// Starts a copy that holds the file, and waits until it does: the holder
// must have the file open before this run ends and the cleanup begins.
void hold_in_other_process(const std::wstring& launcher, const std::wstring& file, const std::wstring& hold_ms) {
  std::wstring event_name = L"vorbel_sample_hold_" + std::to_wstring(GetCurrentProcessId());
  HANDLE held = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
  DWORD holder = 0;
  start_again(launcher, L"--hold-here " + quote(file) + L" " + event_name + L" " + hold_ms, false, &holder);
  write_line(WaitForSingleObject(held, 30000) == WAIT_OBJECT_0 ? L"held=yes" : L"held=no");
  write_line(L"holder=" + std::to_wstring(holder));
  CloseHandle(held);
}

void hold_file(const std::wstring& path, const std::wstring& event_name, DWORD hold_ms) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  write_line(file == INVALID_HANDLE_VALUE ? L"hold=failed" : L"hold=" + path);
  HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, event_name.c_str());
  if (held != nullptr) {
    SetEvent(held);
    CloseHandle(held);
  }
  Sleep(hold_ms);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
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
  std::wstring hold_ms = L"3000";
  for (int i = 1; i < argc; ++i) {
    std::wstring option = argv[i];
    bool has_value = i + 1 < argc;
    if (option == L"--hashes") {
      hashes = true;
    } else if (option == L"--exit" && has_value) {
      status = wcstoul(argv[++i], nullptr, 0);
    } else if (option == L"--sleep" && has_value) {
      Sleep(wcstoul(argv[++i], nullptr, 10));
    } else if (option == L"--relaunch") {
      write_line(L"relaunch_status=" + std::to_wstring(start_again(argv[0], L"--exit 7", true)));
    } else if (option == L"--hold-ms" && has_value) {
      hold_ms = argv[++i];
    } else if (option == L"--hold" && has_value) {
      hold_in_other_process(argv[0], argv[++i], hold_ms);
    } else if (option == L"--hold-here" && i + 3 < argc) {
      std::wstring file = directory + L"\\" + argv[++i];
      std::wstring event_name = argv[++i];
      hold_file(file, event_name, wcstoul(argv[++i], nullptr, 10));
    }
  }
  list_files(directory, L"", hashes);
  return static_cast<int>(status);
}
