// Environment and scratch-directory helpers for tests; see test_fs.h.
#include "tests/support/test_fs.h"

#include <atomic>
#include <fstream>
#include <sstream>

std::optional<std::wstring> env_value(const wchar_t* name) {
  std::wstring value(32768, L'\0');
  SetLastError(0);
  DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
  if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
  value.resize(length);
  return value;
}

ScopedEnv::ScopedEnv(const wchar_t* name, std::optional<std::wstring> value) : name_(name), saved_(env_value(name)) {
  SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
}

ScopedEnv::~ScopedEnv() { SetEnvironmentVariableW(name_.c_str(), saved_ ? saved_->c_str() : nullptr); }

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  // Process ids come round again quickly under Wine: the tick count keeps
  // names from meeting what an earlier run left.
  path_ = std::filesystem::path(temp) / (L"vorbel_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                                         std::to_wstring(GetTickCount64()) + L"_" + std::to_wstring(counter++));
  std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  // The "\\?\" form reaches paths beyond MAX_PATH, which some tests make.
  std::error_code ignored;
  std::filesystem::remove_all(L"\\\\?\\" + path_.wstring(), ignored);
}

void remove_chain(const std::filesystem::path& top, const std::wstring& relative) {
  std::wstring path = top.wstring() + L"\\" + relative;
  DeleteFileW(path.c_str());
  for (size_t cut = path.rfind(L'\\'); cut > top.wstring().size(); cut = path.rfind(L'\\')) {
    path.resize(cut);
    RemoveDirectoryW(path.c_str());
  }
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void write_file(const std::filesystem::path& path, const std::string& contents) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << contents;
}

std::wstring marked_link_path;

DWORD WINAPI attributes_marking_link(LPCWSTR path) {
  DWORD attributes = GetFileAttributesW(path);
  if (path == marked_link_path && attributes != INVALID_FILE_ATTRIBUTES) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return attributes;
}

BOOL WINAPI handle_information_marking_link(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
                                            DWORD size) {
  BOOL read = GetFileInformationByHandleEx(file, kind, information, size);
  if (kind == FileBasicInfo) static_cast<FILE_BASIC_INFO*>(information)->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return read;
}

DWORD WINAPI owned_by_everyone(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*, PACL*, PACL*,
                               PSECURITY_DESCRIPTOR* descriptor) {
  // A descriptor of its own, freed by the caller with LocalFree like the real one.
  static SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  auto* block = static_cast<unsigned char*>(LocalAlloc(LMEM_FIXED, SECURITY_MAX_SID_SIZE));
  InitializeSid(block, &world, 1);
  *GetSidSubAuthority(block, 0) = SECURITY_WORLD_RID;
  *owner = block;
  *descriptor = block;
  return ERROR_SUCCESS;
}
