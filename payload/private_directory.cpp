// The user-only extraction directory; see private_directory.h. The security
// descriptor lives in static buffers: the token's user and a one-entry ACL.
// No ACE for SYSTEM or Administrators: neither is needed for the user's own
// processes to unpack, load and delete, and both can take ownership anyway.
#include "payload/private_directory.h"

#include <windows.h>
#include <aclapi.h>

#include "common/directory_check.h"
#include "common/long_path.h"
#include "common/system_calls.h"

namespace {

// TOKEN_USER followed by the SID it points to.
alignas(8) unsigned char token_user_buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
alignas(8) unsigned char acl_buffer[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE];

PSID current_user() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  DWORD size = 0;
  BOOL read = GetTokenInformation(token, TokenUser, token_user_buffer, sizeof token_user_buffer, &size);
  CloseHandle(token);
  return read ? reinterpret_cast<TOKEN_USER*>(token_user_buffer)->User.Sid : nullptr;
}

// One ACE: the user, full access, inherited by files and directories below.
PACL user_only_acl(PSID user) {
  auto* acl = reinterpret_cast<PACL>(acl_buffer);
  if (!InitializeAcl(acl, sizeof acl_buffer, ACL_REVISION)) return nullptr;
  if (!AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS, user)) {
    return nullptr;
  }
  return acl;
}

// A directory that was there before (a planted one in a shared TEMP) is used
// only when it is the user's own: its owner could change the DACL back. Both
// the owner and the DACL go through the handle, so they are those of the
// directory that was checked, not of whatever the path leads to later.
PrivateDirectory secure_existing_directory(HANDLE directory, PSID user, PACL acl, unsigned long* error) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD result = system_calls.GetSecurityInfo(directory, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                              nullptr, nullptr, &descriptor);
  if (result != ERROR_SUCCESS) {
    *error = result;
    return PRIVATE_DIRECTORY_FAILED;
  }
  bool owned = owner != nullptr && EqualSid(owner, user);
  LocalFree(descriptor);
  if (!owned) return PRIVATE_DIRECTORY_FOREIGN_OWNER;
  result = system_calls.SetSecurityInfo(directory, SE_FILE_OBJECT,
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
  PSID user = current_user();
  if (user == nullptr) return failed(error);
  PACL acl = user_only_acl(user);
  if (acl == nullptr) return failed(error);
  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
      // Protected: ACEs that TEMP passes down are not merged in, now or when
      // someone later re-applies inheritance from above.
      !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return failed(error);
  }
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
