// Tests of the security calls made on ntdll: each gives what the advapi32
// call it replaces gives, read back through advapi32 itself. (Wine keeps no
// DACL of its own to read back, so a DACL set is checked by the call's
// result and by the descriptor that carries it.)
#include "common/nt_security.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "common/directory_check.h"
#include "tests/support/test_fs.h"

namespace {

std::vector<unsigned char> advapi_token_user() {
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  std::vector<unsigned char> buffer(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE);
  DWORD size = 0;
  EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size));
  CloseHandle(token);
  return buffer;
}

TEST(NtSecurity, TheUserAndTheOwnerAreWhatAdvapiReads) {
  std::vector<unsigned char> expected = advapi_token_user();
  PSID user = current_user_sid();
  ASSERT_NE(user, nullptr);
  EXPECT_TRUE(EqualSid(user, reinterpret_cast<TOKEN_USER*>(expected.data())->User.Sid));

  ScratchDir scratch;
  HANDLE directory = CreateFileW(scratch.str().c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(directory, INVALID_HANDLE_VALUE);
  PSID ours = nullptr;
  PSECURITY_DESCRIPTOR our_descriptor = nullptr;
  ASSERT_EQ(read_handle_security(directory, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &ours, nullptr, nullptr,
                                 nullptr, &our_descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  PSID theirs = nullptr;
  PSECURITY_DESCRIPTOR their_descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(directory, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &theirs, nullptr, nullptr, nullptr,
                            &their_descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(EqualSid(ours, theirs));
  LocalFree(our_descriptor);
  LocalFree(their_descriptor);
  CloseHandle(directory);
}

TEST(NtSecurity, TheDaclIsSetProtectedAndFailuresGiveAdvapisCodes) {
  alignas(8) unsigned char buffer[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE];
  PACL acl = make_user_only_acl(buffer, sizeof buffer, current_user_sid());
  ASSERT_NE(acl, nullptr);
  ACL_SIZE_INFORMATION size = {};
  ASSERT_TRUE(GetAclInformation(acl, &size, sizeof size, AclSizeInformation));
  EXPECT_EQ(size.AceCount, 1u);
  SECURITY_DESCRIPTOR descriptor;
  ASSERT_TRUE(make_protected_descriptor(&descriptor, acl, current_user_sid()));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(&descriptor, &control, &revision));
  EXPECT_EQ(control & (SE_DACL_PROTECTED | SE_DACL_PRESENT), SE_DACL_PROTECTED | SE_DACL_PRESENT);
  PSID named = nullptr;
  BOOL defaulted = TRUE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(&descriptor, &named, &defaulted));
  EXPECT_TRUE(named != nullptr && EqualSid(named, current_user_sid())) << "the owner is named";
  EXPECT_FALSE(defaulted);

  ScratchDir scratch;
  HANDLE directory = CreateFileW(scratch.str().c_str(), READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(directory, INVALID_HANDLE_VALUE);
  const SECURITY_INFORMATION which = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
  EXPECT_EQ(write_handle_dacl(directory, SE_FILE_OBJECT, which, nullptr, nullptr, acl, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
  CloseHandle(directory);
  HANDLE read_only = CreateFileW(scratch.str().c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(read_only, INVALID_HANDLE_VALUE);
  EXPECT_EQ(write_handle_dacl(read_only, SE_FILE_OBJECT, which, nullptr, nullptr, acl, nullptr),
            SetSecurityInfo(read_only, SE_FILE_OBJECT, which, nullptr, nullptr, acl, nullptr))
      << "a handle without WRITE_DAC";
  CloseHandle(read_only);
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR unused = nullptr;
  EXPECT_EQ(
      read_handle_security(nullptr, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                           &unused),
      GetSecurityInfo(nullptr, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &unused))
      << "no handle";
}

TEST(NtSecurity, TheVolumeFlagsAreWhatKernel32ReadsAndABadHandleFails) {
  ScratchDir scratch;
  HANDLE directory = CreateFileW(scratch.str().c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(directory, INVALID_HANDLE_VALUE);
  DWORD expected = 0;
  ASSERT_TRUE(GetVolumeInformationByHandleW(directory, nullptr, 0, nullptr, nullptr, &expected, nullptr, 0));
  DWORD flags = ~expected;
  EXPECT_TRUE(read_volume_flags(directory, &flags));
  EXPECT_EQ(flags, expected);
  CloseHandle(directory);
  SetLastError(0);
  EXPECT_FALSE(read_volume_flags(nullptr, &flags));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
