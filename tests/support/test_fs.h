// Small test helpers for process state that tests change: environment
// variables (restored at scope end) and scratch directories (removed).
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <filesystem>
#include <optional>
#include <string>

// Sets or removes one variable for a scope and restores what was there.
class ScopedEnv {
 public:
  ScopedEnv(const wchar_t* name, std::optional<std::wstring> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::wstring name_;
  std::optional<std::wstring> saved_;
};

// The variable's value, or nothing when absent.
std::optional<std::wstring> env_value(const wchar_t* name);

// A fresh directory below the temporary directory, removed with everything
// in it at scope end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::wstring str() const { return path_.wstring(); }

 private:
  std::filesystem::path path_;
};

// Removes the file top\\relative and then each directory of relative, deepest
// first. For trees deeper than std::filesystem and the shell's delete manage
// under Wine (they give up on long paths); the file functions take them.
void remove_chain(const std::filesystem::path& top, const std::wstring& relative);

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& contents);

// A link planted at a path, as the seam shows it: Wine follows a host link in
// every handle and marks it only by path, Windows marks it on the handle too.
// Each side is shown on a plain directory through one of these.
extern std::wstring marked_link_path;
// GetFileAttributesW, with FILE_ATTRIBUTE_REPARSE_POINT on marked_link_path.
DWORD WINAPI attributes_marking_link(LPCWSTR path);
// GetFileInformationByHandleEx, with FILE_ATTRIBUTE_REPARSE_POINT on every handle.
BOOL WINAPI handle_information_marking_link(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
                                            DWORD size);

// GetSecurityInfo reporting another owner (Everyone) for every object: Wine
// keeps no owner of its own to change.
DWORD WINAPI owned_by_everyone(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION which, PSID* owner, PSID* group,
                               PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
