// Tests of the "\\?\" form: from which length paths take it, which paths
// never do, and that it names what the plain path named.
#include "common/long_path.h"

#include <gtest/gtest.h>

#include <string>

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
