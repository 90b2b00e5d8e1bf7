// The launcher's security calls, made on ntdll's own functions: ntdll is in
// every process already, while importing advapi32 for the same work loads it
// and what it pulls in at every start (1.6 ms a start under Wine, measured
// with a floor program that imports it). Also the volume's flags that say
// whether ACLs are kept at all. Windows only; static buffers only.
#pragma once

#include <aclapi.h>
#include <windows.h>

// GetSecurityInfo's shape, for the seam: reads what `which` asks for (the
// owner and the DACL, here) of a handle into a LocalAlloc'd descriptor that
// *descriptor receives and the caller frees with LocalFree; *owner and *dacl
// point into it (a null *dacl: none, which gives everyone everything).
DWORD WINAPI read_handle_security(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION which, PSID* owner,
                                  PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);

// SetSecurityInfo's shape, for the seam: sets the DACL of a handle, protected
// from inheritance when `which` holds PROTECTED_DACL_SECURITY_INFORMATION.
// Owner, group and SACL are not set (the launcher never asks to).
DWORD WINAPI write_handle_dacl(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION which, PSID owner, PSID group,
                               PACL dacl, PACL sacl);

// The process token's user SID into the caller's buffer (size bytes); false
// with GetLastError() set when the token cannot be read.
bool read_token_user(void* buffer, DWORD size);

// A one-entry ACL into buffer (size bytes): user, full access, inherited by
// files and directories below; null with GetLastError() set on failure.
PACL make_user_only_acl(void* buffer, DWORD size, PSID user);

// descriptor made absolute around dacl, protected from inheritance, with
// `owner` named as its owner.
bool make_protected_descriptor(SECURITY_DESCRIPTOR* descriptor, PACL dacl, PSID owner);

bool same_sid(PSID left, PSID right);

// The file system flags (FILE_PERSISTENT_ACLS and the rest) of the volume a
// handle is on; false with GetLastError() set. ntdll's query alone: Wine's
// GetVolumeInformationByHandleW takes more than twice as long (0.45 ms
// against 0.19 pinned), and a cached start asks twice.
BOOL WINAPI read_volume_flags(HANDLE file, DWORD* flags);
