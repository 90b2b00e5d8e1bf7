// Tests of the guard on a folder that bundles lie below: who owns it and
// whom its DACL lets rename, delete or take it over, read through the seam
// from descriptors made here (Wine derives a folder's DACL from its Unix mode
// and cannot show most of these), and the volume and placeholder refusals.
#include "common/directory_check.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/system_calls.h"
#include "tests/support/system_call_override.h"
#include "tests/support/test_fs.h"

namespace {

struct Entry {
  WELL_KNOWN_SID_TYPE who;  // WinNullSid stands for the current user
  ACCESS_MASK rights;
  DWORD flags;
};

std::vector<unsigned char> well_known(WELL_KNOWN_SID_TYPE who) {
  std::vector<unsigned char> sid(SECURITY_MAX_SID_SIZE);
  if (who == WinNullSid) {
    PSID user = current_user_sid();
    sid.assign(static_cast<unsigned char*>(user), static_cast<unsigned char*>(user) + GetLengthSid(user));
    return sid;
  }
  DWORD size = static_cast<DWORD>(sid.size());
  EXPECT_TRUE(CreateWellKnownSid(who, nullptr, sid.data(), &size));
  return sid;
}

// What the fake GetSecurityInfo hands out for the case under test.
std::vector<unsigned char> owner_sid;
alignas(8) unsigned char acl_buffer[4096];
bool null_dacl = false;
DWORD volume_flags = FILE_PERSISTENT_ACLS;

DWORD WINAPI case_security(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*, PACL* dacl, PACL*,
                           PSECURITY_DESCRIPTOR* descriptor) {
  *owner = owner_sid.data();
  *dacl = null_dacl ? nullptr : reinterpret_cast<PACL>(acl_buffer);
  *descriptor = LocalAlloc(LMEM_FIXED, 16);
  return ERROR_SUCCESS;
}

BOOL WINAPI case_volume(HANDLE, DWORD* flags) {
  *flags = volume_flags;
  return TRUE;
}

DirectoryGuard guard_of(WELL_KNOWN_SID_TYPE owner, const std::vector<Entry>& entries) {
  owner_sid = well_known(owner);
  PACL acl = reinterpret_cast<PACL>(acl_buffer);
  EXPECT_TRUE(InitializeAcl(acl, sizeof acl_buffer, ACL_REVISION));
  for (const Entry& entry : entries) {
    std::vector<unsigned char> sid = well_known(entry.who);
    EXPECT_TRUE(AddAccessAllowedAceEx(acl, ACL_REVISION, entry.flags, entry.rights, sid.data()));
  }
  ScratchDir scratch;
  HANDLE directory = CreateFileW(scratch.str().c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  EXPECT_NE(directory, INVALID_HANDLE_VALUE);
  SystemCallOverride security(system_calls.GetSecurityInfo, case_security);
  SystemCallOverride volume(system_calls.read_volume_flags, case_volume);
  DirectoryGuard guard = directory_guard(directory, current_user_sid(), READ_VOLUME_FLAGS);
  CloseHandle(directory);
  return guard;
}

constexpr ACCESS_MASK MODIFY = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
const Entry USER_FULL = {WinNullSid, FILE_ALL_ACCESS, CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE};
const Entry SYSTEM_FULL = {WinLocalSystemSid, FILE_ALL_ACCESS, 0};
const Entry ADMINISTRATORS_FULL = {WinBuiltinAdministratorsSid, GENERIC_ALL, 0};

TEST(DirectoryGuard, OnlyTheUserSystemAndAdministratorsMayRenameDeleteOrTakeOverTheFolder) {
  // A profile's own folder, and one an administrator made for the user.
  EXPECT_EQ(guard_of(WinNullSid, {USER_FULL, SYSTEM_FULL, ADMINISTRATORS_FULL}), DIRECTORY_GUARDED);
  EXPECT_EQ(guard_of(WinBuiltinAdministratorsSid, {USER_FULL}), DIRECTORY_GUARDED);
  // Others may read, list and add: nothing of ours can be swapped that way.
  EXPECT_EQ(guard_of(WinNullSid, {USER_FULL, {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_WRITE, 0}}),
            DIRECTORY_GUARDED);
  // An entry that applies only to what is made below, as CREATOR OWNER's do.
  EXPECT_EQ(guard_of(WinNullSid, {USER_FULL, {WinCreatorOwnerSid, GENERIC_ALL, INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE}}),
            DIRECTORY_GUARDED);

  // A second drive's root: Authenticated Users may modify, inherited.
  EXPECT_EQ(guard_of(WinNullSid, {USER_FULL, {WinAuthenticatedUserSid, MODIFY, INHERITED_ACE}}),
            DIRECTORY_OPEN_TO_OTHERS);
  EXPECT_EQ(guard_of(WinNullSid, {USER_FULL, {WinWorldSid, FILE_DELETE_CHILD, 0}}), DIRECTORY_OPEN_TO_OTHERS);
  EXPECT_EQ(guard_of(WinNullSid, {USER_FULL, {WinBuiltinUsersSid, WRITE_DAC, 0}}), DIRECTORY_OPEN_TO_OTHERS);
  EXPECT_EQ(guard_of(WinNullSid, {USER_FULL, {WinBuiltinUsersSid, WRITE_OWNER, 0}}), DIRECTORY_OPEN_TO_OTHERS);
  EXPECT_EQ(guard_of(WinNullSid, {USER_FULL, {WinBuiltinUsersSid, GENERIC_ALL, 0}}), DIRECTORY_OPEN_TO_OTHERS);
  // Someone else's folder, whatever its entries say.
  EXPECT_EQ(guard_of(WinBuiltinUsersSid, {USER_FULL}), DIRECTORY_OPEN_TO_OTHERS);
  null_dacl = true;
  EXPECT_EQ(guard_of(WinNullSid, {}), DIRECTORY_OPEN_TO_OTHERS) << "a null DACL gives everyone everything";
  null_dacl = false;
}

TEST(DirectoryGuard, AVolumeWithoutAclsIsRefused) {
  volume_flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;  // FAT32's and exFAT's answer
  EXPECT_EQ(guard_of(WinNullSid, {USER_FULL}), DIRECTORY_WITHOUT_ACLS);
  volume_flags = FILE_PERSISTENT_ACLS;
}

}  // namespace
