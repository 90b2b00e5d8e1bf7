// Tests of unpacking: files written byte for byte in 32768-byte chunks,
// directories made parents first and remembered, the re-launched role's
// single name, and every refusal and failure with its message and status.
// The user-only extraction directory: private_directory_test.cpp.
#include "payload/unpack_payload.h"

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
#include "payload/directory_maker.h"
#include "payload/payload_format.h"
#include "payload/payload_reader.h"
#include "payload/private_directory.h"
#include "tests/support/payload_builder.h"
#include "tests/support/scenario.h"
#include "tests/support/system_call_override.h"
#include "tests/support/test_fs.h"
#include "tests/support/unpacking.h"

namespace fs = std::filesystem;

namespace {

std::string bytes(size_t size, char seed) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>(seed + i * 7 + i / 251);
  return text;
}

std::vector<DWORD> write_sizes;

BOOL WINAPI counting_write(HANDLE file, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
  write_sizes.push_back(count);
  return WriteFile(file, data, count, written, overlapped);
}

// Every directory the unpacking asks the system for, in order, as the
// launcher names it (the "\\?\" form of long ones is tested on its own).
std::vector<std::wstring> directory_calls;

BOOL WINAPI recording_directory_call(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
  std::wstring named = path;
  if (named.rfind(L"\\\\?\\", 0) == 0) named.erase(0, 4);
  directory_calls.push_back(named);
  return CreateDirectoryW(path, attributes);
}

TEST(UnpackPayload, WritesEveryEntryByteForByte) {
  ScratchDir scratch;
  fs::path dir = scratch.path() / L"onefile_1_2";
  const std::vector<TestEntry> entries = {
      {L"app.dll", bytes(70000, 'a')},
      {L"empty.txt", ""},
      {L"exact.bin", bytes(32768, 'e')},
      {L"over.bin", bytes(32769, 'o')},
      {L"a\\b\\c\\deep.txt", "deep"},
      {L"caf\u00e9\\\u65e5\u672c\\\U0001F600.txt", "non-ASCII, with a character outside the BMP"},
  };
  // Small blocks, so that names, sizes and chunks straddle decoder outputs.
  start_unpacking(payload_of(entries, 1000), dir.wstring());
  SystemCallOverride count(system_calls.WriteFile, counting_write);
  write_sizes.clear();
  ASSERT_TRUE(unpack_all());

  for (const auto& entry : entries) {
    fs::path file = dir / entry.name;
    for (auto& c : const_cast<std::wstring&>(file.native())) c = c == L'/' ? L'\\' : c;
    ASSERT_TRUE(fs::is_regular_file(file)) << narrow(entry.name);
    EXPECT_EQ(read_file(file), entry.contents) << narrow(entry.name);
  }
  EXPECT_EQ(std::wstring(first_entry_path), (dir / L"app.dll").wstring());
  // Bounded chunks and no call without bytes: 3 + 0 + 1 + 2 + 1 + 1 calls
  // for the sizes above, the fewest that chunks of that bound allow.
  size_t total = 0;
  for (DWORD size : write_sizes) {
    EXPECT_GT(size, 0u);
    EXPECT_LE(size, ENTRY_WRITE_CHUNK);
    total += size;
  }
  EXPECT_EQ(total, 70000u + 32768u + 32769u + 4u + 43u);
  EXPECT_EQ(write_sizes.size(), 8u);
  EXPECT_EQ(payload_stream.decoder, nullptr) << "the stream is released after the end marker";
}

TEST(UnpackPayload, LaterEntriesReplaceEarlierOnesAndOtherFilesStay) {
  ScratchDir scratch;
  write_file(scratch.path() / L"kept.txt", "kept");
  write_file(scratch.path() / L"twice.txt", "a much longer text than what replaces it");
  start_unpacking(payload_of({{L"app.dll", "MZ"}, {L"twice.txt", "first"}, {L"twice.txt", "second"}}),
                  scratch.str());
  ASSERT_TRUE(unpack_all());
  EXPECT_EQ(read_file(scratch.path() / L"twice.txt"), "second");
  EXPECT_EQ(read_file(scratch.path() / L"kept.txt"), "kept");
}

std::vector<std::pair<uint64_t, uint64_t>> progress_told;

void record_progress(uint64_t done, uint64_t total) { progress_told.emplace_back(done, total); }

// The test payloads' frames declare no content size, as one made with embed
// may not: the progress is told in the frame's own bytes.
TEST(UnpackPayload, TellsItsProgressInTheFramesBytesAsEachFileBeginsAndGrows) {
  ScratchDir scratch;
  const std::string resource = payload_of(
      {{L"app.dll", bytes(70000, 'a')}, {L"one.txt", "1"}, {L"two.txt", "2"}, {L"b.bin", bytes(5000, 'b')}}, 1000);
  start_unpacking(resource, (scratch.path() / L"onefile_1_2").wstring());
  progress_told.clear();
  unpack_progress_hook = record_progress;
  bool unpacked = unpack_all();
  unpack_progress_hook = nullptr;
  ASSERT_TRUE(unpacked);
  // One call as each of the 4 files begins, and one after each chunk written:
  // 3 for app.dll, 1 for each of the others.
  ASSERT_EQ(progress_told.size(), 4u + 3u + 1u + 1u + 1u);
  uint64_t before = 0;
  for (const auto& [done, total] : progress_told) {
    EXPECT_EQ(total, resource.size() - PAYLOAD_HEADER_SIZE);
    EXPECT_GE(done, before);
    EXPECT_LE(done, total);
    before = done;
  }
  EXPECT_GT(progress_told.back().first, 75000u);  // all but the end marker's blocks
}

TEST(UnpackPayload, DirectoriesAreMadeOnceAndRemembered) {
  ScratchDir scratch;
  fs::path dir = scratch.path() / L"x";
  start_unpacking(payload_of({{L"app.dll", "MZ"}, {L"a\\b\\one", "1"}, {L"a\\b\\two", "2"}, {L"A\\B\\three", "3"},
                              {L"a\\b\\four", "4"}}),
                  dir.wstring());
  SystemCallOverride record(system_calls.CreateDirectoryW, recording_directory_call);
  directory_calls.clear();
  ASSERT_TRUE(unpack_all());
  // a\b is tried first; its parent is made when it fails, then it again.
  // Later files in it cost nothing. Another letter case is another path to
  // the cache: "A\B" is asked for once, and exists.
  EXPECT_EQ(directory_calls, (std::vector<std::wstring>{dir.wstring(), dir.wstring() + L"\\a\\b", dir.wstring() + L"\\a",
                                                        dir.wstring() + L"\\a\\b", dir.wstring() + L"\\A\\B"}));
  EXPECT_EQ(read_file(dir / L"a" / L"b" / L"three"), "3");
  EXPECT_EQ(read_file(dir / L"a" / L"b" / L"four"), "4");
}

TEST(UnpackPayload, NamesOf511LevelsAreMadeWithoutGrowingTheStack) {
  ScratchDir scratch;
  std::wstring deep;
  for (int level = 0; level < 511; ++level) deep += L"a\\";
  deep += L"f";
  ASSERT_EQ(deep.size(), 1023u);
  fs::path dir = scratch.path() / L"x";
  start_unpacking(payload_of({{L"app.dll", "MZ"}, {deep, "deep"}, {deep.substr(0, 20) + L"g", "g"}}), dir.wstring());
  SystemCallOverride record(system_calls.CreateDirectoryW, recording_directory_call);
  directory_calls.clear();
  ASSERT_TRUE(unpack_all());
  EXPECT_EQ(read_file(dir.wstring() + L"\\" + deep), "deep");
  EXPECT_EQ(read_file(dir.wstring() + L"\\" + deep.substr(0, 20) + L"g"), "g");
  // The extraction directory; the climb from the deepest level, which fails
  // until "x\a" is made; then each failed level once more, parents first.
  // The second file's directory is known by then: no call.
  ASSERT_EQ(directory_calls.size(), 1u + 511u + 510u);
  EXPECT_EQ(directory_calls[1], dir.wstring() + L"\\" + deep.substr(0, deep.size() - 2));
  EXPECT_EQ(directory_calls[511], dir.wstring() + L"\\a");
  EXPECT_EQ(directory_calls[512], dir.wstring() + L"\\a\\a");
  EXPECT_EQ(directory_calls.back(), directory_calls[1]);
  remove_chain(dir, deep);
}

// Another writer may separate a name's components with "/", which the name
// rule accepts: the directories are made all the same.
TEST(UnpackPayload, ForwardSlashesSeparateDirectoriesAsBackslashesDo) {
  ScratchDir scratch;
  fs::path dir = scratch.path() / L"x";
  start_unpacking(payload_of({{L"app.dll", "MZ"}, {L"sub/x.txt", "x"}, {L"sub/deeper\\y.txt", "y"}}), dir.wstring());
  SystemCallOverride record(system_calls.CreateDirectoryW, recording_directory_call);
  directory_calls.clear();
  ASSERT_TRUE(unpack_all());
  EXPECT_EQ(read_file(dir / L"sub" / L"x.txt"), "x");
  EXPECT_EQ(read_file(dir / L"sub" / L"deeper" / L"y.txt"), "y");
  EXPECT_EQ(directory_calls, (std::vector<std::wstring>{dir.wstring(), dir.wstring() + L"\\sub",
                                                        dir.wstring() + L"\\sub\\deeper"}));
}

TEST(UnpackPayload, BeyondTheCacheDirectoriesAreStillMade) {
  ScratchDir scratch;
  std::vector<TestEntry> entries = {{L"app.dll", "MZ"}};
  // 1100 directories, a file in each, then a second file in each again, so
  // that only the cache can spare a call. It remembers 1024 directories:
  // the home directory, the extraction directory and the first 1022 here.
  for (int round = 1; round <= 2; ++round) {
    for (int i = 0; i < 1100; ++i) {
      entries.push_back({L"d" + std::to_wstring(i) + L"\\f" + std::to_wstring(round), std::to_string(round * i)});
    }
  }
  start_unpacking(payload_of(entries), scratch.str());
  SystemCallOverride record(system_calls.CreateDirectoryW, recording_directory_call);
  directory_calls.clear();
  ASSERT_TRUE(unpack_all());
  EXPECT_EQ(directory_calls.size(), 1u + 1100u + (1100u - 1022u));
  EXPECT_EQ(directory_calls.back(), (scratch.path() / L"d1099").wstring());
  EXPECT_EQ(read_file(scratch.path() / L"d1099" / L"f2"), "2198");
  EXPECT_EQ(read_file(scratch.path() / L"d0" / L"f1"), "0");
}

TEST(UnpackPayload, TheReLaunchedRoleReadsOnlyTheFirstName) {
  ScratchDir scratch;
  fs::path dir = scratch.path() / L"never_made";
  start_unpacking(payload_of({{L"app.dll", "MZ"}, {L"other.txt", "x"}}), dir.wstring());
  ASSERT_TRUE(unpack_payload(UNPACK_FIRST_NAME_ONLY));
  EXPECT_EQ(std::wstring(first_entry_path), (dir / L"app.dll").wstring());
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_NE(payload_stream.decoder, nullptr) << "the stream stays open";
}

TEST(UnpackPayload, AnEmptyPayloadWritesNothing) {
  ScratchDir scratch;
  fs::path dir = scratch.path() / L"never_made";
  for (UnpackMode mode : {UNPACK_ALL_ENTRIES, UNPACK_FIRST_NAME_ONLY}) {
    start_unpacking(payload_of({}), dir.wstring());
    EXPECT_FALSE(unpack_payload(mode));
    EXPECT_EQ(first_entry_path[0], L'\0');
    EXPECT_FALSE(fs::exists(dir));
  }
}

TEST(DirectoryCreation, DrivesAreNeverPassedToTheSystem) {
  start_unpacking(payload_of({}), L"C:\\unused");
  SystemCallOverride record(system_calls.CreateDirectoryW, recording_directory_call);
  directory_calls.clear();
  EXPECT_TRUE(create_directory(L"C:"));
  EXPECT_TRUE(create_directory(L"Q:"));  // a drive that does not exist
  EXPECT_TRUE(directory_calls.empty());
  EXPECT_FALSE(create_directory(L"Q:\\no\\such\\drive"));
  EXPECT_EQ(directory_calls, std::vector<std::wstring>{L"Q:\\no\\such\\drive"});
}

// Failures end the process: each runs as a scenario, with the payload chosen
// by the argument and the extraction directory given after it.

std::string failing_payload(const std::wstring& which) {
  if (which == L"long_name") return payload_of({{std::wstring(1024, L'n'), "x"}});
  if (which == L"longest_name") {
    // 1023 units in components the file system accepts.
    std::wstring name;
    while (name.size() < 1023) name += (name.empty() ? L"" : L"\\") + std::wstring(100, L'n');
    name.resize(1023);
    return payload_of({{name, "x"}});
  }
  if (which == L"cut_in_contents") {
    std::string stream = entry_stream({{L"app.dll", bytes(50000, 'c')}});
    return payload_resource(stored_frame(stream.substr(0, 30000)));
  }
  if (which == L"directory_in_the_way") return payload_of({{L"app.dll", "MZ"}, {L"sub", "x"}, {L"sub\\f", "y"}});
  if (which == L"write_fails") return payload_of({{L"app.dll", bytes(40000, 'w')}});
  if (which.rfind(L"unsafe:", 0) == 0) return payload_of({{L"app.dll", "MZ"}, {which.substr(7), "x"}});
  return "";
}

VORBEL_SCENARIO(unpack_failing) {
  start_unpacking(failing_payload(__wargv[2]), __wargv[3]);
  unpack_payload(UNPACK_ALL_ENTRIES);
  return 0;
}

BOOL WINAPI write_fails_with_disk_full(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}

VORBEL_SCENARIO(unpack_write_fails) {
  system_calls.WriteFile = write_fails_with_disk_full;
  start_unpacking(failing_payload(L"write_fails"), __wargv[2]);
  unpack_payload(UNPACK_ALL_ENTRIES);
  return 0;
}

// A write that says it succeeded with fewer bytes than it was given (half,
// at least one), and one that says it succeeded writing nothing.
BOOL WINAPI write_falls_short(HANDLE file, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
  return WriteFile(file, data, count > 1 ? count / 2 : count, written, overlapped);
}
BOOL WINAPI write_writes_nothing(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
  *written = 0;
  return TRUE;
}

VORBEL_SCENARIO(unpack_write_falls_short) {
  system_calls.WriteFile = __wargv[3][0] == L'h' ? write_falls_short : write_writes_nothing;
  start_unpacking(payload_of({{L"app.dll", "MZ and more"}}), __wargv[2]);
  unpack_payload(UNPACK_ALL_ENTRIES);
  return 0;
}

// The bundle record's writer goes through the same call; the entries are
// written whole, the record falls short.
VORBEL_SCENARIO(bundle_record_falls_short) {
  start_unpacking(payload_of({{L"app.dll", "MZ"}}), __wargv[2]);
  begin_bundle_record(L"00112233aabbccdd");
  unpack_all();
  if (__wargv[3][0] != L'w') system_calls.WriteFile = __wargv[3][0] == L'h' ? write_falls_short : write_writes_nothing;
  finish_bundle_record();
  return 0;
}

ProcessResult run_failing(const char* scenario, const std::wstring& payload, const std::wstring& directory) {
  return run_scenario(scenario, {}, payload.empty() ? std::vector<std::wstring>{directory}
                                                    : std::vector<std::wstring>{payload, directory});
}

// Before, the count written went unread: the file stayed cut short.
TEST(UnpackPayload, AShortWriteIsCompletedAndOneThatWritesNothingStopsTheRunLikeAFailedOne) {
  ScratchDir scratch;
  ProcessResult completed = run_scenario("unpack_write_falls_short", {}, {scratch.str(), L"half"});
  EXPECT_EQ(completed.exit_code, 0u) << completed.err;
  EXPECT_EQ(read_file(scratch.path() / L"app.dll"), "MZ and more");
  ScratchDir whole;
  ProcessResult record = run_scenario("bundle_record_falls_short", {}, {scratch.str(), L"half"});
  ProcessResult reference = run_scenario("bundle_record_falls_short", {}, {whole.str(), L"whole"});
  EXPECT_EQ(record.exit_code, 0u) << record.err;
  EXPECT_EQ(read_file(scratch.path() / L"vorbel.lst"), read_file(whole.path() / L"vorbel.lst"));
  for (const char* scenario : {"unpack_write_falls_short", "bundle_record_falls_short"}) {
    ScratchDir empty;
    ProcessResult result = run_scenario(scenario, {}, {empty.str(), L"nothing"});
    EXPECT_EQ(result.exit_code, 2u) << scenario;
    EXPECT_EQ(result.err, text_mode("Error, couldn't unpack file to target path. ([Error 29] " +
                                    system_message(ERROR_WRITE_FAULT) + ")\n"))
        << scenario;
  }
}

TEST(UnpackPayload, ANameWithoutEndWithin1023UnitsIsRefused) {
  ScratchDir scratch;
  ProcessResult result = run_failing("unpack_failing", L"long_name", scratch.str());
  EXPECT_EQ(result.out, text_mode("Error, attached data holds a file name longer than 1023 units.\n"));
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_TRUE(fs::is_empty(scratch.path()));
}

TEST(UnpackPayload, The1023UnitNameIsReadButItsPathIsTooLong) {
  ScratchDir scratch;
  fs::path long_dir = scratch.path() / std::wstring(240, L'd') / std::wstring(240, L'e') / std::wstring(240, L'f');
  // directory + "\" + 1023 units fits 4096 units; with a directory of
  // 3100 units it does not, and the copy stops the process.
  std::wstring very_long = long_dir.wstring() + L"\\" + std::wstring(3100 - long_dir.wstring().size(), L'g');
  ProcessResult fits = run_failing("unpack_failing", L"longest_name", long_dir.wstring());
  EXPECT_EQ(fits.exit_code, 0u) << fits.out << fits.err;
  ProcessResult too_long = run_failing("unpack_failing", L"longest_name", very_long);
  EXPECT_EQ(too_long.exit_code, ABORT_STATUS);
  EXPECT_EQ(too_long.out, "");
}

TEST(UnpackPayload, NamesThatLeaveTheDirectoryAreRefusedBeforeAnythingIsWritten) {
  ScratchDir scratch;
  fs::path dir = scratch.path() / L"inner";
  const wchar_t* names[] = {
      L"..\\escape.txt", L"a\\..\\..\\escape.txt", L"a/../../escape.txt", L"\\escape.txt", L"/escape.txt",
      L"C:\\escape.txt", L"C:escape.txt",          L"a\\..",               L"a\\. .\\x",    L"...\\x",
      // Devices: their bytes would go to the device, not to a file.
      L"sub\\NUL", L"aux.txt", L"COM1", L"x\\lpt1.log", L"x/con", L"nul .txt", L"CONOUT$", L"Com9.x\\y",
  };
  for (const wchar_t* name : names) {
    ProcessResult result = run_failing("unpack_failing", std::wstring(L"unsafe:") + name, dir.wstring());
    EXPECT_EQ(result.exit_code, 2u) << narrow(name);
    EXPECT_EQ(result.err, text_mode("Error, refusing to unpack '" + narrow(name) + "' outside the target directory.\n"))
        << narrow(name);
    EXPECT_FALSE(fs::exists(scratch.path() / L"escape.txt")) << narrow(name);
    EXPECT_TRUE(fs::exists(dir / L"app.dll")) << "entries before it are written";
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2)
        << "and, beside the directory's lock, nothing for it";
  }
}

TEST(UnpackPayload, AFileThatCannotBeOpenedIsReportedWithItsPath) {
  ScratchDir scratch;
  ProcessResult result = run_failing("unpack_failing", L"directory_in_the_way", scratch.str());
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.err, text_mode("Error, failed to open '" + narrow(scratch.str()) + "\\sub\\f' for writing.\n"));
  EXPECT_EQ(result.out, "");
}

TEST(UnpackPayload, AFailedWriteIsReportedWithTheSystemText) {
  ScratchDir scratch;
  ProcessResult result = run_failing("unpack_write_fails", L"", scratch.str());
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.err, text_mode("Error, couldn't unpack file to target path. ([Error 112] " +
                                  system_message(ERROR_DISK_FULL) + ")\n"));
  EXPECT_TRUE(fs::exists(scratch.path() / L"app.dll")) << "the partly written file stays";
}

TEST(UnpackPayload, AStreamCutInsideAnEntryIsADecodingError) {
  ScratchDir scratch;
  ProcessResult result = run_failing("unpack_failing", L"cut_in_contents", scratch.str());
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, text_mode("Error, couldn't decode attached data.\n"));
  EXPECT_TRUE(fs::exists(scratch.path() / L"app.dll")) << "what was written stays";
}

}  // namespace
