// Directories opened as themselves; see directory_check.h.
#include "common/directory_check.h"

#include <aclapi.h>

#include "common/long_path.h"
#include "common/nt_security.h"
#include "common/system_calls.h"

namespace {

constexpr DWORD LINK_OR_NOT_DIRECTORY = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;

// TOKEN_USER followed by the SID it points to.
alignas(8) unsigned char token_user_buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];

}  // namespace

DirectoryOpen open_directory_itself(const wchar_t* path, DWORD access, HANDLE* handle) {
  *handle = INVALID_HANDLE_VALUE;
  wchar_t long_form[LONG_PATH_CAPACITY];
  const wchar_t* target = long_path_form(path, long_form);
  HANDLE opened =
      system_calls.CreateFileW(target, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    // A link whose target is gone or refused still shows by path.
    DWORD error = GetLastError();
    DWORD by_path = system_calls.GetFileAttributesW(target);
    if (by_path != INVALID_FILE_ATTRIBUTES && (by_path & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return DIRECTORY_IS_LINK;
    SetLastError(error);
    return DIRECTORY_UNUSABLE;
  }
  BY_HANDLE_FILE_INFORMATION information;
  bool read = system_calls.GetFileInformationByHandle(opened, &information);
  DWORD error = GetLastError();
  // Read after the handle is open, so that a link put in place of what was
  // opened is seen here too.
  DWORD by_path = system_calls.GetFileAttributesW(target);
  DirectoryOpen result = DIRECTORY_OPENED;
  if ((read && (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) ||
      (by_path != INVALID_FILE_ATTRIBUTES && (by_path & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
    result = DIRECTORY_IS_LINK;
  } else if (!read || (information.dwFileAttributes & LINK_OR_NOT_DIRECTORY) != FILE_ATTRIBUTE_DIRECTORY) {
    result = DIRECTORY_UNUSABLE;
    if (read) error = ERROR_DIRECTORY;
  }
  if (result != DIRECTORY_OPENED) {
    system_calls.CloseHandle(opened);
    SetLastError(error);
    return result;
  }
  *handle = opened;
  return DIRECTORY_OPENED;
}

PSID current_user_sid() {
  if (!read_token_user(token_user_buffer, sizeof token_user_buffer)) return nullptr;
  return reinterpret_cast<TOKEN_USER*>(token_user_buffer)->User.Sid;
}

DirectoryOwner directory_owner(HANDLE directory, PSID user, unsigned long* error) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD result = system_calls.GetSecurityInfo(directory, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                              nullptr, nullptr, &descriptor);
  if (result != ERROR_SUCCESS) {
    *error = result;
    return DIRECTORY_OWNER_UNREADABLE;
  }
  bool owned = owner != nullptr && same_sid(owner, user);
  LocalFree(descriptor);
  return owned ? DIRECTORY_OWNED_BY_USER : DIRECTORY_OWNED_BY_OTHER;
}
