// The security calls on ntdll; see nt_security.h. Each failure's NTSTATUS
// becomes the Win32 code the advapi32 call would have given, so that callers
// and their messages stay as they were.
#include "common/nt_security.h"

namespace {

using NTSTATUS_VALUE = LONG;

bool succeeded(NTSTATUS_VALUE status) { return status >= 0; }

}  // namespace

extern "C" {
__declspec(dllimport) NTSTATUS_VALUE NTAPI
    NtQuerySecurityObject(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, ULONG, PULONG);
__declspec(dllimport) NTSTATUS_VALUE NTAPI NtSetSecurityObject(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR);
__declspec(dllimport) NTSTATUS_VALUE NTAPI NtOpenProcessToken(HANDLE, ACCESS_MASK, PHANDLE);
__declspec(dllimport) NTSTATUS_VALUE NTAPI
    NtQueryInformationToken(HANDLE, TOKEN_INFORMATION_CLASS, PVOID, ULONG, PULONG);
__declspec(dllimport) NTSTATUS_VALUE NTAPI NtClose(HANDLE);
__declspec(dllimport) NTSTATUS_VALUE NTAPI RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR, PSID*, PBOOLEAN);
__declspec(dllimport) NTSTATUS_VALUE NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR, PBOOLEAN, PACL*,
                                                                        PBOOLEAN);
__declspec(dllimport) NTSTATUS_VALUE NTAPI RtlCreateAcl(PACL, ULONG, ULONG);
__declspec(dllimport) NTSTATUS_VALUE NTAPI RtlAddAccessAllowedAceEx(PACL, ULONG, ULONG, ACCESS_MASK, PSID);
__declspec(dllimport) NTSTATUS_VALUE NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR, ULONG);
__declspec(dllimport) NTSTATUS_VALUE NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR, BOOLEAN, PACL, BOOLEAN);
__declspec(dllimport) NTSTATUS_VALUE NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR, PSID, BOOLEAN);
__declspec(dllimport) NTSTATUS_VALUE NTAPI
    RtlSetControlSecurityDescriptor(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL, SECURITY_DESCRIPTOR_CONTROL);
__declspec(dllimport) BOOLEAN NTAPI RtlEqualSid(PSID, PSID);
__declspec(dllimport) ULONG NTAPI RtlNtStatusToDosError(NTSTATUS_VALUE);
__declspec(dllimport) NTSTATUS_VALUE NTAPI NtQueryVolumeInformationFile(HANDLE, void*, PVOID, ULONG, int);
}

namespace {

// The Win32 code for a failed status, also left as the last error.
DWORD failure(NTSTATUS_VALUE status) {
  DWORD error = RtlNtStatusToDosError(status);
  SetLastError(error);
  return error;
}

}  // namespace

DWORD WINAPI read_handle_security(HANDLE object, SE_OBJECT_TYPE, SECURITY_INFORMATION which, PSID* owner, PSID*,
                                  PACL* dacl, PACL*, PSECURITY_DESCRIPTOR* descriptor) {
  *descriptor = nullptr;
  ULONG needed = 0;
  // Asked once for its size: an owner-only descriptor is small, and the
  // second call fits what the first reported.
  NTSTATUS_VALUE status = NtQuerySecurityObject(object, which, nullptr, 0, &needed);
  if (needed == 0) return failure(status);
  void* block = LocalAlloc(LMEM_FIXED, needed);
  if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  status = NtQuerySecurityObject(object, which, block, needed, &needed);
  BOOLEAN defaulted = FALSE;
  PSID found = nullptr;
  if (succeeded(status) && owner != nullptr) status = RtlGetOwnerSecurityDescriptor(block, &found, &defaulted);
  BOOLEAN dacl_present = FALSE;
  PACL found_dacl = nullptr;
  if (succeeded(status) && dacl != nullptr) {
    status = RtlGetDaclSecurityDescriptor(block, &dacl_present, &found_dacl, &defaulted);
  }
  if (!succeeded(status)) {
    LocalFree(block);
    return failure(status);
  }
  if (owner != nullptr) *owner = found;
  // As GetSecurityInfo answers: no DACL and a null one are both null.
  if (dacl != nullptr) *dacl = dacl_present ? found_dacl : nullptr;
  *descriptor = block;
  return ERROR_SUCCESS;
}

DWORD WINAPI write_handle_dacl(HANDLE object, SE_OBJECT_TYPE, SECURITY_INFORMATION which, PSID, PSID, PACL dacl, PACL) {
  SECURITY_DESCRIPTOR descriptor;
  NTSTATUS_VALUE status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  if (succeeded(status)) status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, dacl, FALSE);
  // The system takes the protection from the descriptor's control bits; the
  // flag in `which` is advapi32's way of asking for them.
  if (succeeded(status) && (which & PROTECTED_DACL_SECURITY_INFORMATION) != 0) {
    status = RtlSetControlSecurityDescriptor(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  }
  if (succeeded(status)) status = NtSetSecurityObject(object, DACL_SECURITY_INFORMATION, &descriptor);
  return succeeded(status) ? ERROR_SUCCESS : failure(status);
}

bool read_token_user(void* buffer, DWORD size) {
  HANDLE token = nullptr;
  NTSTATUS_VALUE status = NtOpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  if (!succeeded(status)) {
    failure(status);
    return false;
  }
  ULONG written = 0;
  status = NtQueryInformationToken(token, TokenUser, buffer, size, &written);
  NtClose(token);
  if (!succeeded(status)) failure(status);
  return succeeded(status);
}

PACL make_user_only_acl(void* buffer, DWORD size, PSID user) {
  auto* acl = static_cast<PACL>(buffer);
  NTSTATUS_VALUE status = RtlCreateAcl(acl, size, ACL_REVISION);
  if (succeeded(status)) {
    status =
        RtlAddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS, user);
  }
  if (!succeeded(status)) {
    failure(status);
    return nullptr;
  }
  return acl;
}

bool make_protected_descriptor(SECURITY_DESCRIPTOR* descriptor, PACL dacl, PSID owner) {
  NTSTATUS_VALUE status = RtlCreateSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION);
  if (succeeded(status)) status = RtlSetOwnerSecurityDescriptor(descriptor, owner, FALSE);
  if (succeeded(status)) status = RtlSetDaclSecurityDescriptor(descriptor, TRUE, dacl, FALSE);
  // Protected: ACEs that the parent passes down are not merged in, now or
  // when someone later re-applies inheritance from above.
  if (succeeded(status)) status = RtlSetControlSecurityDescriptor(descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  if (!succeeded(status)) failure(status);
  return succeeded(status);
}

bool same_sid(PSID left, PSID right) { return RtlEqualSid(left, right) != FALSE; }

namespace {

// IO_STATUS_BLOCK and FILE_FS_ATTRIBUTE_INFORMATION, which the toolchain's
// user-mode headers lack; the name's room is ample for every file system's.
struct IoStatus {
  union {
    NTSTATUS_VALUE status;
    void* pointer;
  };
  ULONG_PTR information;
};
struct VolumeAttributes {
  ULONG file_system_flags;
  LONG longest_component;
  ULONG name_bytes;
  WCHAR name[64];
};
constexpr int FILE_FS_ATTRIBUTE_INFORMATION_CLASS = 5;
// A name longer than the room still leaves the flags read.
constexpr NTSTATUS_VALUE BUFFER_OVERFLOW = static_cast<NTSTATUS_VALUE>(0x80000005);

}  // namespace

BOOL WINAPI read_volume_flags(HANDLE file, DWORD* flags) {
  IoStatus io = {};
  VolumeAttributes attributes = {};
  NTSTATUS_VALUE status =
      NtQueryVolumeInformationFile(file, &io, &attributes, sizeof attributes, FILE_FS_ATTRIBUTE_INFORMATION_CLASS);
  if (!succeeded(status) && status != BUFFER_OVERFLOW) {
    failure(status);
    return FALSE;
  }
  *flags = attributes.file_system_flags;
  return TRUE;
}
