// Tests of the "\\?\" form: from which length paths take it, which paths
// never do, that it names what the plain path named without asking the
// system, and the root's full form made while it is short.
#include "common/long_path.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/system_call_override.h"

namespace {

std::wstring form_of(const std::wstring& path) {
  wchar_t buffer[LONG_PATH_CAPACITY];
  const wchar_t* form = long_path_form(path.c_str(), buffer);
  EXPECT_TRUE(form == path.c_str() || form == buffer);
  return form;
}

// "C:\" and "\\server\share\" followed by as many units as make `length`.
std::wstring drive_path(size_t length) {
  std::wstring path = L"C:\\t\\";
  path += std::wstring(length - path.size(), L'x');
  return path;
}

TEST(LongPathForm, PathsFromTheDirectoryLimitOnTakeThePrefixShorterOnesStayAsTheyAre) {
  EXPECT_EQ(form_of(drive_path(LONG_PATH_THRESHOLD - 1)), drive_path(LONG_PATH_THRESHOLD - 1));
  EXPECT_EQ(form_of(drive_path(LONG_PATH_THRESHOLD)), L"\\\\?\\" + drive_path(LONG_PATH_THRESHOLD));
  std::wstring network = L"\\\\server\\share\\" + std::wstring(300, L'n');
  EXPECT_EQ(form_of(network), L"\\\\?\\UNC\\server\\share\\" + std::wstring(300, L'n'));
}

TEST(LongPathForm, TheFormNamesWhatThePlainPathNamed) {
  const std::wstring tail(300, L'y');
  // The "\\?\" form takes every unit literally, so it is built from the full path.
  EXPECT_EQ(form_of(L"C:/t/a/../b/./" + tail), L"\\\\?\\C:\\t\\b\\" + tail);
  EXPECT_EQ(form_of(L"\\\\server/share\\a\\..\\" + tail), L"\\\\?\\UNC\\server\\share\\" + tail);
}

DWORD WINAPI full_path_refused(LPCWSTR, DWORD, LPWSTR, LPWSTR*) {
  SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return 0;
}

// Windows may refuse a plain path past MAX_PATH in GetFullPathNameW, as its
// documentation allows: the form is built all the same, and ".." never
// climbs above the drive or the share.
TEST(LongPathForm, IsBuiltWithoutTheSystemsFullPathAndStaysOnItsDriveOrShare) {
  SystemCallOverride refused(system_calls.GetFullPathNameW, full_path_refused);
  const std::wstring tail(300, L'q');
  EXPECT_EQ(form_of(L"C:\\t\\" + tail + L"\\f"), L"\\\\?\\C:\\t\\" + tail + L"\\f");
  EXPECT_EQ(form_of(L"C:\\..\\..\\" + tail), L"\\\\?\\C:\\" + tail);
  EXPECT_EQ(form_of(L"C:\\t\\\\" + tail + L"\\"), L"\\\\?\\C:\\t\\" + tail + L"\\");
  EXPECT_EQ(form_of(L"\\\\s\\h\\..\\..\\" + tail), L"\\\\?\\UNC\\s\\h\\" + tail);
  EXPECT_EQ(form_of(L"C:\\" + tail + L"\\..\\" + tail + L"\\..\\..\\..\\" + tail), L"\\\\?\\C:\\" + tail);
}

std::wstring full_root_of(std::wstring root) {
  wchar_t buffer[LONG_PATH_CAPACITY];
  wcscpy(buffer, root.c_str());
  full_root_form(buffer, LONG_PATH_CAPACITY);
  return buffer;
}

TEST(FullRootForm, AShortRootIsMadeFullOnceALongOrRelativeOneStaysAsItIs) {
  EXPECT_EQ(full_root_of(L"C:/users\\x/./tmp/../temp\\"), L"C:\\users\\x\\temp\\");
  // "C:" is a trimmed "C:\\", not C's current directory.
  for (const wchar_t* kept : {L"C:", L""}) EXPECT_EQ(full_root_of(kept), kept);
  // Without TEMP the extraction directory is on the current drive's root.
  wchar_t current[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, current), 0u);
  EXPECT_EQ(full_root_of(L"\\onefile_1_2"), std::wstring(current, 2) + L"\\onefile_1_2");
  EXPECT_EQ(full_root_of(L"t\\a\\.."), std::wstring(current) + L"\\t");
  const std::wstring long_root = L"C:\\" + std::wstring(300, L'r') + L"\\..\\s";
  SystemCallOverride refused(system_calls.GetFullPathNameW, full_path_refused);
  EXPECT_EQ(full_root_of(long_root), long_root);
}

TEST(LongPathForm, RelativeAndDevicePathsAreNeverRewritten) {
  const std::wstring tail(300, L'z');
  for (const std::wstring& path : {tail, L"t\\" + tail, L"\\t\\" + tail, L"C:" + tail, L"\\\\?\\C:\\" + tail,
                                   L"\\\\?\\UNC\\server\\share\\" + tail, L"\\\\.\\C:\\" + tail}) {
    EXPECT_EQ(form_of(path), path);
  }
}

TEST(LongPathForm, TheLongestPathTheLauncherBuildsFitsWithEitherPrefix) {
  std::wstring drive = drive_path(PATH_CAPACITY - 1);
  std::wstring network = L"\\\\s\\h\\" + std::wstring(PATH_CAPACITY - 1 - 6, L'w');
  EXPECT_EQ(form_of(drive), L"\\\\?\\" + drive);
  EXPECT_EQ(form_of(network), L"\\\\?\\UNC" + network.substr(1));
}

}  // namespace
