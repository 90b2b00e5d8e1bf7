// Tests of the user-only extraction directory: the DACL it is made with, a
// link or another owner's directory at its path refused before anything is
// written, and each directory of the unpacking asked for once.
#include "payload/private_directory.h"

#include <gtest/gtest.h>
#include <aclapi.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "common/bounded_text.h"
#include "common/long_path.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "payload/bundle_directory.h"
#include "payload/unpack_payload.h"
#include "payload/directory_maker.h"
#include "payload/payload_format.h"
#include "payload/payload_reader.h"
#include "tests/support/payload_builder.h"
#include "tests/support/scenario.h"
#include "tests/support/system_call_override.h"
#include "tests/support/test_fs.h"
#include "tests/support/unpacking.h"

namespace fs = std::filesystem;

namespace {

// Wine (8.0 here) does not keep a DACL: it derives a file's security from
// its Unix mode, so GetNamedSecurityInfoW reads back a made-up DACL. The DACL
// the launcher asks for is therefore read where it is handed to the system,
// through the seam; from the file system only what Wine keeps of it is read:
// the world has no access (the host directory gets no "other" permissions).

struct AceSeen {
  BYTE type;
  BYTE flags;
  ACCESS_MASK mask;
  std::vector<unsigned char> sid;
};

struct DaclSeen {
  bool has_dacl = false;
  bool is_protected = false;
  std::vector<AceSeen> aces;
};

std::vector<unsigned char> sid_bytes(PSID sid) {
  auto* bytes = static_cast<unsigned char*>(sid);
  return std::vector<unsigned char>(bytes, bytes + GetLengthSid(sid));
}

DaclSeen describe(PSECURITY_DESCRIPTOR descriptor) {
  DaclSeen seen;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  seen.is_protected = (control & SE_DACL_PROTECTED) != 0;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  seen.has_dacl = present && dacl != nullptr;
  for (DWORD i = 0; seen.has_dacl && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) break;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    seen.aces.push_back(
        {allowed->Header.AceType, allowed->Header.AceFlags, allowed->Mask, sid_bytes(&allowed->SidStart)});
  }
  return seen;
}

std::vector<unsigned char> current_user_sid() {
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  std::vector<unsigned char> buffer(512);
  DWORD size = 0;
  EXPECT_TRUE(GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size));
  CloseHandle(token);
  return sid_bytes(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

struct DirectoryRequest {
  std::wstring path;
  bool with_security;
  DaclSeen dacl;
  std::vector<unsigned char> owner;  // empty: none named
};
std::vector<DirectoryRequest> directory_requests;

BOOL WINAPI recording_create_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
  DirectoryRequest request = {path, attributes != nullptr, {}, {}};
  if (attributes != nullptr) {
    request.dacl = describe(attributes->lpSecurityDescriptor);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    GetSecurityDescriptorOwner(attributes->lpSecurityDescriptor, &owner, &defaulted);
    if (owner != nullptr) request.owner = sid_bytes(owner);
  }
  directory_requests.push_back(request);
  return CreateDirectoryW(path, attributes);
}

void expect_user_only(const DaclSeen& dacl) {
  ASSERT_TRUE(dacl.has_dacl);
  EXPECT_TRUE(dacl.is_protected) << "nothing inherited from TEMP";
  ASSERT_EQ(dacl.aces.size(), 1u);
  EXPECT_EQ(dacl.aces[0].type, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_EQ(dacl.aces[0].flags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) << "passed on to all below";
  EXPECT_EQ(dacl.aces[0].mask, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
  EXPECT_EQ(dacl.aces[0].sid, current_user_sid());
}

bool world_has_access(const fs::path& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_EQ(GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                  nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  SID_IDENTIFIER_AUTHORITY world_authority = SECURITY_WORLD_SID_AUTHORITY;
  PSID world = nullptr;
  AllocateAndInitializeSid(&world_authority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &world);
  bool granted = false;
  for (const AceSeen& ace : describe(descriptor).aces) {
    granted = granted || (ace.type == ACCESS_ALLOWED_ACE_TYPE && ace.sid == sid_bytes(world) && ace.mask != 0);
  }
  FreeSid(world);
  LocalFree(descriptor);
  return granted;
}

TEST(PrivateDirectory, TheExtractionDirectoryIsMadeForTheUserAloneAndPassesItOn) {
  ScratchDir scratch;
  fs::path dir = scratch.path() / L"onefile_1_2";
  start_unpacking(payload_of({{L"app.dll", "MZ"}, {L"sub\\deeper\\data.txt", "x"}}), dir.wstring());
  SystemCallOverride record(system_calls.CreateDirectoryW, recording_create_directory);
  directory_requests.clear();
  ASSERT_TRUE(unpack_all());
  EXPECT_TRUE(extraction_dir_private);

  // sub\deeper (its parent missing), sub, sub\deeper again.
  ASSERT_EQ(directory_requests.size(), 4u);
  EXPECT_EQ(directory_requests[0].path, dir.wstring());
  ASSERT_TRUE(directory_requests[0].with_security);
  expect_user_only(directory_requests[0].dacl);
  // Named, so that an elevated run (whose default owner is the Administrators
  // group) makes a directory of the user's own too.
  EXPECT_EQ(directory_requests[0].owner, current_user_sid());
  // Directories below take the inherited DACL: no security of their own.
  for (size_t i = 1; i < directory_requests.size(); ++i) {
    EXPECT_FALSE(directory_requests[i].with_security) << narrow(directory_requests[i].path);
  }

  EXPECT_FALSE(world_has_access(dir));
  EXPECT_TRUE(world_has_access(scratch.path())) << "Wine's reading of an ordinary directory";
}

TEST(UnpackPayload, EachRememberedDirectoryIsAskedForOnceHoweverEntriesAlternate) {
  ScratchDir scratch;
  // Every entry goes to another directory than the one before it, so only the
  // cache can tell that a directory exists; 600 leave room for the home and
  // extraction directories in its 1024 slots.
  std::vector<TestEntry> entries = {{L"app.dll", "MZ"}};
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 600; ++i) entries.push_back({L"d" + std::to_wstring(i) + L"\\f" + std::to_wstring(round), "x"});
  }
  start_unpacking(payload_of(entries), scratch.str());
  SystemCallOverride record(system_calls.CreateDirectoryW, recording_create_directory);
  directory_requests.clear();
  ASSERT_TRUE(unpack_all());
  EXPECT_EQ(directory_requests.size(), 1u + 600u);  // the extraction directory, then each once
  for (int i = 0; i < 600; i += 37) EXPECT_EQ(read_file(scratch.path() / (L"d" + std::to_wstring(i)) / L"f2"), "x");
}

// A junction or directory link planted at the extraction directory's path.
// Wine follows a host link through every handle, even one opened with
// FILE_FLAG_OPEN_REPARSE_POINT, and marks it only by path; Windows marks it on
// the handle. Each side is shown through the seam on a plain directory.
std::vector<std::wstring> security_set_on;
DaclSeen dacl_set;

DWORD WINAPI recording_set_security(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION which, PSID owner,
                                    PSID group, PACL dacl, PACL sacl) {
  wchar_t path[MAX_PATH * 4] = L"";
  GetFinalPathNameByHandleW(object, path, MAX_PATH * 4, 0);
  security_set_on.push_back(path);
  SECURITY_DESCRIPTOR seen;
  InitializeSecurityDescriptor(&seen, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&seen, (which & DACL_SECURITY_INFORMATION) != 0, dacl, FALSE);
  if ((which & PROTECTED_DACL_SECURITY_INFORMATION) != 0) {
    SetSecurityDescriptorControl(&seen, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  }
  dacl_set = describe(&seen);
  return SetSecurityInfo(object, type, which, owner, group, dacl, sacl);
}

TEST(PrivateDirectory, ALinkAtThePathOrAnotherOwnersDirectoryIsRefusedAndLeftAsItWas) {
  ScratchDir scratch;
  fs::path dir = scratch.path() / L"onefile_1_2";
  marked_link_path = dir.wstring();
  unsigned long error = 0;
  SystemCallOverride record(system_calls.SetSecurityInfo, recording_set_security);
  {  // found there, marked by path
    fs::create_directories(dir);
    SystemCallOverride by_path(system_calls.GetFileAttributesW, attributes_marking_link);
    security_set_on.clear();
    EXPECT_EQ(create_private_directory(dir.c_str(), &error), PRIVATE_DIRECTORY_IS_LINK);
    EXPECT_TRUE(security_set_on.empty());
  }
  {  // put in place between the creation and the check, marked on the handle
    fs::remove(dir);
    SystemCallOverride on_handle(system_calls.GetFileInformationByHandleEx, handle_information_marking_link);
    security_set_on.clear();
    EXPECT_EQ(create_private_directory(dir.c_str(), &error), PRIVATE_DIRECTORY_IS_LINK);
    EXPECT_TRUE(security_set_on.empty());
  }
  {  // somebody else's directory
    SystemCallOverride foreign(system_calls.GetSecurityInfo, owned_by_everyone);
    security_set_on.clear();
    EXPECT_EQ(create_private_directory(dir.c_str(), &error), PRIVATE_DIRECTORY_FOREIGN_OWNER);
    EXPECT_TRUE(security_set_on.empty());
  }
  // The user's own directory is used, its DACL set on the directory itself.
  write_file(dir / L"kept.txt", "kept");
  security_set_on.clear();
  EXPECT_EQ(create_private_directory(dir.c_str(), &error), PRIVATE_DIRECTORY_READY);
  ASSERT_EQ(security_set_on.size(), 1u);
  EXPECT_EQ(security_set_on[0], L"\\\\?\\" + dir.wstring());
  expect_user_only(dacl_set);
  EXPECT_EQ(read_file(dir / L"kept.txt"), "kept");
}

VORBEL_SCENARIO(unpack_into_planted) {
  marked_link_path = __wargv[3];
  if (wcscmp(__wargv[2], L"link") == 0) system_calls.GetFileAttributesW = attributes_marking_link;
  if (wcscmp(__wargv[2], L"foreign") == 0) system_calls.GetSecurityInfo = owned_by_everyone;
  start_unpacking(payload_of({{L"app.dll", "MZ"}, {L"data.txt", "x"}}), __wargv[3]);
  unpack_payload(UNPACK_ALL_ENTRIES);
  return 0;
}

TEST(PrivateDirectory, UnpackingStopsAtALinkOrAnotherUsersDirectoryBeforeAnythingIsWritten) {
  ScratchDir scratch;
  fs::path dir = scratch.path() / L"onefile_1_2";
  write_file(dir / L"victim.txt", "the user's own");
  const struct {
    const wchar_t* planted;
    const char* what;
  } cases[] = {{L"link", "is a link to elsewhere"}, {L"foreign", "another user made"}};
  for (const auto& test : cases) {
    ProcessResult result = run_scenario("unpack_into_planted", {}, {test.planted, dir.wstring()});
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.err, text_mode("Error, refusing to unpack into '" + narrow(dir.wstring()) + "', which " +
                                    test.what + ".\n"));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    EXPECT_EQ(read_file(dir / L"victim.txt"), "the user's own");
  }
}

BOOL WINAPI refusing_create_directory(LPCWSTR, LPSECURITY_ATTRIBUTES) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

VORBEL_SCENARIO(unpack_without_private_directory) {
  system_calls.CreateDirectoryW = refusing_create_directory;
  start_unpacking(payload_of({{L"app.dll", "MZ"}}), __wargv[2]);
  unpack_payload(UNPACK_ALL_ENTRIES);
  return 0;
}

TEST(PrivateDirectory, NothingIsWrittenWhereThePrivateDirectoryCannotBeMade) {
  ScratchDir scratch;
  fs::path dir = scratch.path() / L"onefile_1_2";
  ProcessResult result = run_scenario("unpack_without_private_directory", {}, {dir.wstring()});
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.err, text_mode("Error, couldn't create the extraction directory '" + narrow(dir.wstring()) +
                                  "' ([Error 5] " + system_message(ERROR_ACCESS_DENIED) + ")\n"));
  EXPECT_TRUE(fs::is_empty(scratch.path()));
}

}  // namespace
