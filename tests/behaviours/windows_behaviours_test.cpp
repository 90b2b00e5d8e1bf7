// Tests of the Windows behaviours layer itself: each behaviour, switched on,
// shows through the seam's entries what Windows would (a layer that quietly
// showed nothing would let the layer's e2e run pass for nothing), and what it
// keeps reaches another process through the state file.
#include "tests/behaviours/windows_behaviours.h"

#include <windows.h>
// sddl.h needs the declarations above.
#include <gtest/gtest.h>
#include <sddl.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "common/system_calls.h"
#include "tests/support/scenario.h"
#include "tests/support/test_fs.h"

namespace fs = std::filesystem;

namespace {

struct LayerOn {
  LayerOn(const WindowsBehaviours& behaviours, const std::wstring& state = L"") {
    install_windows_behaviours(behaviours, state);
  }
  ~LayerOn() { uninstall_windows_behaviours(); }
};

// path, grown with "\d" components and then units to exactly units long.
std::wstring path_of_length(const fs::path& top, size_t units) {
  std::wstring path = top.wstring();
  while (path.size() + 100 < units) path += L"\\" + std::wstring(90, L'd');
  path += L"\\" + std::wstring(units - path.size() - 1, L'f');
  return path;
}

TEST(WindowsBehaviours, ParsesTheWordsItKnowsAndNamesTheFirstItDoesNot) {
  WindowsBehaviours behaviours;
  std::wstring unknown;
  ASSERT_TRUE(parse_windows_behaviours(L"elevated,scanner=35,path-limits", &behaviours, &unknown));
  EXPECT_TRUE(behaviours.path_limits && behaviours.elevated);
  EXPECT_EQ(behaviours.scanner_hold_ms, 35u);
  ASSERT_TRUE(parse_windows_behaviours(L"scanner", &behaviours, &unknown));
  EXPECT_EQ(behaviours.scanner_hold_ms, SCANNER_DEFAULT_HOLD_MS);
  EXPECT_FALSE(behaviours.path_limits || behaviours.elevated);
  EXPECT_FALSE(parse_windows_behaviours(L"elevated,scanner=soon", &behaviours, &unknown));
  EXPECT_EQ(unknown, L"scanner=soon");
}

TEST(WindowsBehaviours, PathLimitsStopPlainPathsAtTheirLengthsAndNeverTheLongForm) {
  ScratchDir scratch;
  LayerOn layer({true, 0, false});
  const std::wstring directory_at_limit = path_of_length(scratch.path(), 248);
  const std::wstring directory_below = path_of_length(scratch.path(), 247);
  fs::create_directories(L"\\\\?\\" + fs::path(directory_at_limit).parent_path().wstring());

  EXPECT_FALSE(system_calls.CreateDirectoryW(directory_at_limit.c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_TRUE(system_calls.CreateDirectoryW(directory_below.c_str(), nullptr));
  EXPECT_TRUE(system_calls.CreateDirectoryW((L"\\\\?\\" + directory_at_limit).c_str(), nullptr));

  const std::wstring file_at_limit = path_of_length(scratch.path(), 260);
  const std::wstring file_below = path_of_length(scratch.path(), 259);
  fs::create_directories(L"\\\\?\\" + fs::path(file_at_limit).parent_path().wstring());
  for (const std::wstring& path : {file_at_limit, L"\\\\?\\" + file_at_limit, file_below}) {
    bool plain_at_limit = path == file_at_limit;
    HANDLE file = system_calls.CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ(file == INVALID_HANDLE_VALUE, plain_at_limit) << path.size();
    if (plain_at_limit) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    }
    if (file != INVALID_HANDLE_VALUE) system_calls.CloseHandle(file);
  }
  wchar_t full[1024];
  EXPECT_EQ(system_calls.GetFullPathNameW(file_at_limit.c_str(), 1024, full, nullptr), 0u);
  EXPECT_EQ(system_calls.GetFileAttributesW(file_at_limit.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(system_calls.GetFileAttributesW((L"\\\\?\\" + file_at_limit).c_str()), INVALID_FILE_ATTRIBUTES);
}

// Writes path through the seam, as the unpacking does.
void write_through_seam(const fs::path& path) {
  HANDLE file = system_calls.CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, "x", 1, &written, nullptr));
  ASSERT_TRUE(system_calls.CloseHandle(file));
}

// In a process of its own: renames and removes what the parent scanned, as a
// later run's sweep does. Prints the errors met while the hold lasts.
VORBEL_SCENARIO(scanner_seen_elsewhere) {
  WindowsBehaviours behaviours;
  std::wstring unknown;
  parse_windows_behaviours(L"scanner=60000", &behaviours, &unknown);
  LayerOn layer(behaviours, __wargv[2]);
  fs::path dir = __wargv[3];
  bool moved = system_calls.MoveFileExW(dir.c_str(), (dir.wstring() + L".moved").c_str(), 0);
  DWORD move_error = GetLastError();
  bool deleted = system_calls.DeleteFileW((dir / L"new.txt").c_str());
  DWORD delete_error = GetLastError();
  std::printf("moved=%d/%lu deleted=%d/%lu\n", moved, move_error, deleted, delete_error);
  return 0;
}

TEST(WindowsBehaviours, AScannerHoldsAClosedNewFileAgainstRenamesAndRemovalsHereAndInOtherProcesses) {
  ScratchDir scratch;
  const fs::path state = scratch.path() / L"state";
  {
    WindowsBehaviours behaviours;
    std::wstring unknown;
    ASSERT_TRUE(parse_windows_behaviours(L"scanner=300", &behaviours, &unknown));
    LayerOn layer(behaviours, state.wstring());
    const fs::path dir = scratch.path() / L"bundle";
    fs::create_directories(dir / L"sub");
    write_through_seam(dir / L"sub" / L"new.txt");
    HANDLE read =
        system_calls.CreateFileW((dir / L"old.txt").c_str(), GENERIC_READ, 0, nullptr, CREATE_NEW, 0, nullptr);
    system_calls.CloseHandle(read);

    EXPECT_FALSE(system_calls.MoveFileExW(dir.c_str(), (scratch.path() / L"moved").c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(system_calls.DeleteFileW((dir / L"sub" / L"new.txt").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(system_calls.DeleteFileW((dir / L"old.txt").c_str())) << "a file only read is not scanned";
    Sleep(400);
    EXPECT_TRUE(system_calls.MoveFileExW(dir.c_str(), (scratch.path() / L"moved").c_str(), 0)) << GetLastError();
  }
  {
    const fs::path dir = scratch.path() / L"elsewhere";
    fs::create_directories(dir);
    {
      LayerOn layer({false, 60000, false}, state.wstring());
      write_through_seam(dir / L"new.txt");
    }
    ProcessResult seen = run_scenario("scanner_seen_elsewhere", {}, {state.wstring(), dir.wstring()});
    EXPECT_EQ(seen.out, text_mode("moved=0/5 deleted=0/32\n")) << seen.err;
  }
}

std::wstring owner_of(const fs::path& dir) {
  HANDLE handle = system_calls.CreateFileW(dir.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  std::wstring text = L"<unread>";
  if (system_calls.GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                   nullptr, &descriptor) == ERROR_SUCCESS) {
    wchar_t* sid = nullptr;
    if (ConvertSidToStringSidW(owner, &sid)) text = sid;
    LocalFree(sid);
    LocalFree(descriptor);
  }
  system_calls.CloseHandle(handle);
  return text;
}

TEST(WindowsBehaviours, AnElevatedTokenOwnsWhatNamesNoOwnerAndTheNamedOwnerElse) {
  ScratchDir scratch;
  const fs::path state = scratch.path() / L"state";
  const std::wstring users = owner_of(scratch.path());
  ASSERT_NE(users, L"<unread>");
  {
    LayerOn layer({false, 0, true}, state.wstring());
    EXPECT_TRUE(system_calls.CreateDirectoryW((scratch.path() / L"plain").c_str(), nullptr));
    PSID named = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-1-0", &named));
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&descriptor, named, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    EXPECT_TRUE(system_calls.CreateDirectoryW((scratch.path() / L"named").c_str(), &attributes));
    LocalFree(named);

    EXPECT_EQ(owner_of(scratch.path() / L"plain"), L"S-1-5-32-544");
    EXPECT_EQ(owner_of(scratch.path() / L"named"), L"S-1-1-0");
    EXPECT_EQ(owner_of(scratch.path()), users) << "what the layer did not see made is as Wine says";
    EXPECT_TRUE(system_calls.MoveFileExW((scratch.path() / L"plain").c_str(), (scratch.path() / L"moved").c_str(), 0));
    EXPECT_EQ(owner_of(scratch.path() / L"moved"), L"S-1-5-32-544") << "the owner goes with the directory";
  }
  {
    LayerOn layer({false, 0, true}, state.wstring());
    EXPECT_EQ(owner_of(scratch.path() / L"moved"), L"S-1-5-32-544") << "read back from the state file";
    EXPECT_TRUE(system_calls.RemoveDirectoryW((scratch.path() / L"moved").c_str()));
    fs::create_directories(scratch.path() / L"moved");
    EXPECT_EQ(owner_of(scratch.path() / L"moved"), users) << "a directory made again by someone else";
  }
}

}  // namespace
