// Child processes for tests; see process_runner.h. Both pipes are drained by
// threads of their own so that a chatty child can never block on a full pipe.
#include "tests/support/process_runner.h"

#include <thread>

namespace {

struct Pipe {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
};

Pipe make_pipe() {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  Pipe pipe;
  CreatePipe(&pipe.read, &pipe.write, &inherit, 0);
  SetHandleInformation(pipe.read, HANDLE_FLAG_INHERIT, 0);
  return pipe;
}

void drain(HANDLE read, std::string* into) {
  char buffer[4096];
  DWORD count = 0;
  // A zero-byte write by any holder of the pipe reads as zero bytes, not as
  // the end: only a broken pipe (every writer gone) ends the output.
  while (ReadFile(read, buffer, sizeof buffer, &count, nullptr)) into->append(buffer, count);
}

std::vector<wchar_t> environment_block(const EnvChanges& changes) {
  std::map<std::wstring, std::wstring> variables;  // upper-case key -> "Name=value"
  auto key_of = [](std::wstring name) {
    for (auto& c : name) c = static_cast<wchar_t>(towupper(c));
    return name;
  };
  wchar_t* current = GetEnvironmentStringsW();
  for (const wchar_t* entry = current; *entry != L'\0'; entry += wcslen(entry) + 1) {
    std::wstring text = entry;
    size_t equals = text.find(L'=', 1);  // "=C:=..." entries start with '='
    if (equals == std::wstring::npos) continue;
    variables[key_of(text.substr(0, equals))] = text;
  }
  FreeEnvironmentStringsW(current);
  for (const auto& [name, value] : changes) {
    if (value) {
      variables[key_of(name)] = name + L"=" + *value;
    } else {
      variables.erase(key_of(name));
    }
  }
  std::vector<wchar_t> block;
  for (const auto& [key, text] : variables) {
    block.insert(block.end(), text.begin(), text.end());
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

// Under Wine on a loaded machine a new process has now and then died in its
// own loader before its first instruction ("wine client error ... Bad file
// descriptor"), and CreateProcessW answered ERROR_INTERNAL_ERROR. Nothing of
// the program ran, so the start is made again; every other answer is final.
constexpr int kStartsOnInternalError = 3;

}  // namespace

ProcessResult run_process(const std::wstring& application, const std::wstring& command_line,
                          const RunOptions& options) {
  ProcessResult result;
  Pipe out = make_pipe();
  Pipe err = make_pipe();
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (!options.inherit_console) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out.write;
    startup.hStdError = err.write;
  }
  if (options.show_window) {
    startup.dwFlags |= STARTF_USESHOWWINDOW;
    startup.wShowWindow = *options.show_window;
  }
  std::vector<wchar_t> env = environment_block(options.env);
  std::vector<wchar_t> line(command_line.begin(), command_line.end());
  line.push_back(L'\0');
  PROCESS_INFORMATION process = {};
  BOOL created = FALSE;
  for (int start = 1; !created && start <= kStartsOnInternalError; ++start) {
    created = CreateProcessW(application.empty() ? nullptr : application.c_str(), line.data(), nullptr, nullptr, TRUE,
                             CREATE_UNICODE_ENVIRONMENT, env.data(),
                             options.current_directory.empty() ? nullptr : options.current_directory.c_str(), &startup,
                             &process);
    result.start_error = created ? 0 : GetLastError();
    if (result.start_error != ERROR_INTERNAL_ERROR) break;
  }
  // Said where every test prints the output, so that a failed start never
  // reads as a program that ran, printed nothing and ended with 0.
  if (!created) result.err = "(the test could not start the program: error " + std::to_string(result.start_error) + ")";
  CloseHandle(out.write);
  CloseHandle(err.write);
  if (created) {
    result.started = true;
    std::thread out_reader(drain, out.read, &result.out);
    std::thread err_reader(drain, err.read, &result.err);
    if (WaitForSingleObject(process.hProcess, options.timeout_ms) != WAIT_OBJECT_0) {
      TerminateProcess(process.hProcess, 0xDEAD);
      WaitForSingleObject(process.hProcess, INFINITE);
    }
    GetExitCodeProcess(process.hProcess, &result.exit_code);
    // Grandchildren may still hold the pipes; they end with the process tree
    // in every test here, so the readers finish.
    out_reader.join();
    err_reader.join();
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(out.read);
  CloseHandle(err.read);
  return result;
}

RunningProcess::RunningProcess(const std::wstring& application, const std::wstring& command_line) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  std::vector<wchar_t> line(command_line.begin(), command_line.end());
  line.push_back(L'\0');
  for (int start = 1; start <= kStartsOnInternalError; ++start) {
    if (CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &info_) ||
        GetLastError() != ERROR_INTERNAL_ERROR) {
      break;
    }
  }
}

RunningProcess::~RunningProcess() {
  if (info_.hProcess == nullptr) return;
  TerminateProcess(info_.hProcess, 0);
  WaitForSingleObject(info_.hProcess, INFINITE);
  CloseHandle(info_.hThread);
  CloseHandle(info_.hProcess);
}

std::wstring own_executable() {
  wchar_t path[32768];
  DWORD length = GetModuleFileNameW(nullptr, path, 32768);
  return std::wstring(path, length);
}

std::wstring windows_path(const std::string& path) {
  std::wstring wide = widen(path);
  if (wide.empty() || wide[0] != L'/') return wide;
  for (auto& c : wide) {
    if (c == L'/') c = L'\\';
  }
  return L"Z:" + wide;
}

std::string system_message(DWORD code) {
  char* text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                 code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = text ? text : "";
  LocalFree(text);
  return message;
}

std::string text_mode(const std::string& text) {
  std::string translated;
  for (char c : text) {
    if (c == '\n') translated.push_back('\r');
    translated.push_back(c);
  }
  return translated;
}

std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string narrow(const std::wstring& text) {
  if (text.empty()) return {};
  int length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length, nullptr, nullptr);
  return result;
}
