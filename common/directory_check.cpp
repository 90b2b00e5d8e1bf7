// Directories opened as themselves; see directory_check.h.
#include "common/directory_check.h"

#include <aclapi.h>
#include <stddef.h>

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
  FILE_BASIC_INFO information;
  bool read = system_calls.GetFileInformationByHandleEx(opened, FileBasicInfo, &information, sizeof information);
  DWORD error = GetLastError();
  // Read after the handle is open, so that a link put in place of what was
  // opened is seen here too.
  DWORD by_path = system_calls.GetFileAttributesW(target);
  DirectoryOpen result = DIRECTORY_OPENED;
  if ((read && (information.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) ||
      (by_path != INVALID_FILE_ATTRIBUTES && (by_path & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
    result = DIRECTORY_IS_LINK;
  } else if (!read || (information.FileAttributes & LINK_OR_NOT_DIRECTORY) != FILE_ATTRIBUTE_DIRECTORY) {
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
  // Read once: a start checks the root, the application folder and the
  // bundle, and the process's user never changes.
  static bool token_read = false;
  if (!token_read) token_read = read_token_user(token_user_buffer, sizeof token_user_buffer);
  return token_read ? reinterpret_cast<TOKEN_USER*>(token_user_buffer)->User.Sid : nullptr;
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

namespace {

// S-1-5-18 and S-1-5-32-544, laid out as SIDs are.
struct WellKnownSid {
  BYTE revision;
  BYTE count;
  SID_IDENTIFIER_AUTHORITY authority;
  DWORD sub_authorities[2];
};
WellKnownSid local_system = {SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID, 0}};
WellKnownSid administrators = {
    SID_REVISION, 2, SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};

bool trusted(PSID sid, PSID user) {
  return same_sid(sid, user) || same_sid(sid, reinterpret_cast<PSID>(&local_system)) ||
         same_sid(sid, reinterpret_cast<PSID>(&administrators));
}

// Not in every SDK's headers: a cloud file's placeholder attributes.
constexpr DWORD RECALL_ON_OPEN = 0x00040000;
constexpr DWORD RECALL_ON_DATA_ACCESS = 0x00400000;

constexpr ACCESS_MASK TAKEOVER_RIGHTS = DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

// Walks the entries within the ACL's own size; an entry that does not fit
// makes the whole DACL count as open.
bool dacl_open_to_others(const ACL* dacl, PSID user) {
  const BYTE* at = reinterpret_cast<const BYTE*>(dacl) + sizeof(ACL);
  const BYTE* end = reinterpret_cast<const BYTE*>(dacl) + dacl->AclSize;
  for (WORD entry = 0; entry < dacl->AceCount; ++entry) {
    if (end - at < static_cast<ptrdiff_t>(sizeof(ACE_HEADER))) return true;
    const ACE_HEADER* header = reinterpret_cast<const ACE_HEADER*>(at);
    if (header->AceSize < sizeof(ACE_HEADER) || header->AceSize > end - at) return true;
    bool allows = header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
    if (allows && (header->AceFlags & INHERIT_ONLY_ACE) == 0) {
      if (header->AceSize < sizeof(ACCESS_ALLOWED_ACE)) return true;
      const ACCESS_ALLOWED_ACE* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(at);
      PSID sid = const_cast<DWORD*>(&allowed->SidStart);
      const SID* shape = static_cast<const SID*>(sid);
      size_t sid_size = offsetof(SID, SubAuthority) + shape->SubAuthorityCount * sizeof(DWORD);
      if (offsetof(ACCESS_ALLOWED_ACE, SidStart) + sid_size > header->AceSize) return true;
      if ((allowed->Mask & TAKEOVER_RIGHTS) != 0 && !trusted(sid, user)) return true;
    }
    at += header->AceSize;
  }
  return false;
}

}  // namespace

DirectoryGuard directory_guard(HANDLE directory, PSID user, VolumeCheck volume) {
  FILE_BASIC_INFO information;
  if (!system_calls.GetFileInformationByHandleEx(directory, FileBasicInfo, &information, sizeof information)) {
    return DIRECTORY_GUARD_UNREADABLE;
  }
  if ((information.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_OFFLINE |
                                       RECALL_ON_OPEN | RECALL_ON_DATA_ACCESS)) != 0) {
    return DIRECTORY_WITHOUT_ACLS;
  }
  if (volume == READ_VOLUME_FLAGS) {
    DWORD volume_flags = 0;
    if (!system_calls.read_volume_flags(directory, &volume_flags)) return DIRECTORY_GUARD_UNREADABLE;
    if ((volume_flags & FILE_PERSISTENT_ACLS) == 0) return DIRECTORY_WITHOUT_ACLS;
  }
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (system_calls.GetSecurityInfo(directory, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                   &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return DIRECTORY_GUARD_UNREADABLE;
  }
  bool open = owner == nullptr || !trusted(owner, user) || dacl == nullptr || dacl_open_to_others(dacl, user);
  LocalFree(descriptor);
  return open ? DIRECTORY_OPEN_TO_OTHERS : DIRECTORY_GUARDED;
}
