// The user-only extraction directory; see private_directory.h. The security
// descriptor lives in static buffers: the token's user (read by
// common/directory_check), its owner, and a one-entry ACL.
// No ACE for SYSTEM or Administrators: neither is needed for the user's own
// processes to unpack, load and delete, and both can take ownership anyway.
#include "payload/private_directory.h"

#include <aclapi.h>
#include <windows.h>

#include "common/directory_check.h"
#include "common/long_path.h"
#include "common/nt_security.h"
#include "common/system_calls.h"

namespace {

alignas(8) unsigned char acl_buffer[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE];

// A directory that was there before (a planted one in a shared TEMP) is used
// only when it is the user's own: its owner could change the DACL back. Both
// the owner and the DACL go through the handle.
PrivateDirectory secure_existing_directory(HANDLE directory, PSID user, PACL acl, unsigned long* error) {
  switch (directory_owner(directory, user, error)) {
    case DIRECTORY_OWNER_UNREADABLE:
      return PRIVATE_DIRECTORY_FAILED;
    case DIRECTORY_OWNED_BY_OTHER:
      return PRIVATE_DIRECTORY_FOREIGN_OWNER;
    case DIRECTORY_OWNED_BY_USER:
      break;
  }
  DWORD result = system_calls.SetSecurityInfo(directory, SE_FILE_OBJECT,
                                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                              nullptr, acl, nullptr);
  if (result != ERROR_SUCCESS) {
    *error = result;
    return PRIVATE_DIRECTORY_FAILED;
  }
  return PRIVATE_DIRECTORY_READY;
}

// The failure of the call just made, for the caller's report.
PrivateDirectory failed(unsigned long* error) {
  *error = GetLastError();
  return PRIVATE_DIRECTORY_FAILED;
}

}  // namespace

PrivateDirectory create_private_directory(const wchar_t* path, unsigned long* error) {
  PSID user = current_user_sid();
  if (user == nullptr) return failed(error);
  // One ACE: the user, full access, inherited by files and directories below.
  PACL acl = make_user_only_acl(acl_buffer, sizeof acl_buffer, user);
  if (acl == nullptr) return failed(error);
  // The owner named: an elevated token's default owner is the Administrators
  // group, and a directory owned by it is no longer the user's own to the
  // cached mode and the sweep. The token's user is always an owner the token
  // may set. Protected: ACEs that TEMP passes down are not merged in.
  SECURITY_DESCRIPTOR descriptor;
  if (!make_protected_descriptor(&descriptor, acl, user)) return failed(error);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
  wchar_t long_form[LONG_PATH_CAPACITY];
  bool made = system_calls.CreateDirectoryW(long_path_form(path, long_form), &attributes);
  if (!made && GetLastError() != ERROR_ALREADY_EXISTS) return failed(error);
  // Made or found, the path is checked before anything is written: between
  // the creation and here, another user may have put a link in its place.
  HANDLE directory = INVALID_HANDLE_VALUE;
  switch (open_directory_itself(path, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES, &directory)) {
    case DIRECTORY_IS_LINK:
      return PRIVATE_DIRECTORY_IS_LINK;
    case DIRECTORY_UNUSABLE:
      return failed(error);
    case DIRECTORY_OPENED:
      break;
  }
  PrivateDirectory result = made ? PRIVATE_DIRECTORY_READY : secure_existing_directory(directory, user, acl, error);
  CloseHandle(directory);
  return result;
}
