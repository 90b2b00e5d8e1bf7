// Faults end to end: an application that crashes, ends its process itself or
// leaves a process behind that holds a file; the extracting instance killed
// hard; a %TEMP% that fills up (on a small volume the test run mounts); paths
// at the limits. Each test checks the status and what is left on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "tests/e2e/e2e_support.h"
#include "tests/support/payload_builder.h"

namespace fs = std::filesystem;

namespace {

// Exactly one line, beginning with "Error, ".
bool is_one_error_line(const std::string& text) {
  return text.rfind("Error, ", 0) == 0 && text.find('\n') == text.size() - 1;
}

TEST(FaultsEndToEnd, AnApplicationThatCrashesHandsBackTheExceptionCodeAndLeavesNothing) {
  // The test prefix names no crash debugger that can start (scripts/wine-run.sh
  // --init): the one Wine starts by default held the crashed process open and
  // hung this case now and then, under the layer most often.
  PackedApp app(probe_app_dll(), false);
  ProcessResult result = app.run({L"--fault", L"crash"});
  EXPECT_EQ(result.exit_code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION)) << result.out << result.err;
  EXPECT_TRUE(app.left_in_temp().empty());
}

TEST(FaultsEndToEnd, AnApplicationThatCallsExitProcessHandsBackItsCodeAndLeavesNothing) {
  PackedApp app(probe_app_dll(), false);
  for (const wchar_t* code : {L"0", L"3", L"255", L"256", L"0x7FFFFFFF", L"0x80000000", L"0xC0000409", L"0xFFFFFFFF"}) {
    ProcessResult result = app.run({L"--fault", L"exit-process", code});
    EXPECT_EQ(result.exit_code, wcstoul(code, nullptr, 0)) << narrow(code) << result.out << result.err;
  }
  EXPECT_TRUE(app.left_in_temp().empty());
}

TEST(FaultsEndToEnd, AProcessThatOutlivesTheApplicationHoldingAFileKeepsItButNotTheStatus) {
  SKIP_KNOWN_UNDER(L"scanner",
                   "the cleanup's walk passes over a file the scanner still holds and leaves it to the shell's delete, "
                   "which stops at the file the other process holds: the scanned file stays too, until a later sweep");
  PackedApp app(probe_app_dll());
  // Held for 60 s: long enough for the next run below to come while it is.
  ProcessResult result = app.run({L"--hold", L"data\\docs\\nested.txt", L"60000", L"6"});
  EXPECT_EQ(result.exit_code, 6u) << result.out << result.err;
  EXPECT_EQ(value(report_of(result.out), "held"), "yes");
  EXPECT_EQ(result.err, "") << "a directory that cannot be removed is no error of the run";
  // Only what the holder has in use stays: the held file with the directories
  // above it, and the DLL it runs from (the holder is another instance of the
  // application); the helper DLL beside it, which the probe does not load, goes.
  // The cleanup's walk removes everything else before the shell's attempts give up.
  std::vector<fs::path> left = app.left_in_temp();
  ASSERT_EQ(left.size(), 1u);
  // The holder is a copy of the packed program, which holds the lock too.
  const std::vector<std::string> held = {"data", "data\\docs", "data\\docs\\nested.txt", "probe_app.dll", "vorbel.lck"};
  EXPECT_EQ(tree_of(left[0]), held);

  // The next run, while the holder still has the file, is not disturbed,
  // and leaves that directory alone.
  ProcessResult next = app.run({L"--state", L"4"});
  EXPECT_EQ(next.exit_code, 4u) << next.out << next.err;
  EXPECT_EQ(app.left_in_temp(), left);
  EXPECT_EQ(tree_of(left[0]), held);
  // Once the holder is gone, the run after it removes the rest.
  end_process_hard(static_cast<DWORD>(std::stoul(value(report_of(result.out), "holder"))));
  ProcessResult after = app.run({L"--state", L"5"});
  EXPECT_EQ(after.exit_code, 5u) << after.out << after.err;
  EXPECT_TRUE(app.left_in_temp().empty());
  remove_left(left[0]);
}

// The extracting instance killed hard while the application runs (Task
// Manager's "End task", a crash of the launcher): the child runs on from its
// directory, which no run touches while it does, and the first run after the
// child's end removes it.
TEST(FaultsEndToEnd, AnExtractingInstanceKilledHardLeavesItsDirectoryToTheChildAndTheRunAfterItsEndRemovesIt) {
  PackedApp app(probe_app_dll(), false);
  fs::path marker = app.scratch.path() / L"child-runs";
  ASSERT_NE(orphan_application(app, marker), 0u) << "the application started";
  // Nobody removes the directory: the child is still running the application.
  std::vector<fs::path> left = app.left_in_temp();
  ASSERT_EQ(left.size(), 1u);
  const std::vector<std::string> unpacked = {"probe_app.dll", "sample_helper.dll", "vorbel.lck"};
  EXPECT_EQ(tree_of(left[0]), unpacked);
  EXPECT_TRUE(lock_is_held(left[0])) << "the child holds the lock";

  ProcessResult next = app.run({L"--fault", L"exit-process", L"12"});
  EXPECT_EQ(next.exit_code, 12u) << next.out << next.err;
  EXPECT_EQ(app.left_in_temp(), left) << "the next run removes its own directory and touches no other";
  EXPECT_EQ(tree_of(left[0]), unpacked);

  // The orphaned application ends: nothing holds the lock any more.
  fs::remove(marker);
  for (int waited = 0; waited < 600 && lock_is_held(left[0]); ++waited) Sleep(100);
  ProcessResult after = app.run({L"--fault", L"exit-process", L"13"});
  EXPECT_EQ(after.exit_code, 13u) << after.out << after.err;
  EXPECT_TRUE(app.left_in_temp().empty());
  remove_left(left[0]);
}

// Both instances killed (a power cut, a logoff that ends both): nothing holds
// the lock, the process the name gives is gone, and the next run removes it.
TEST(FaultsEndToEnd, BothInstancesKilledLeaveADirectoryTheNextRunRemoves) {
  PackedApp app(probe_app_dll(), false);
  DWORD child = orphan_application(app, app.scratch.path() / L"child-runs");
  ASSERT_NE(child, 0u) << "the application started";
  end_process_hard(child);
  std::vector<fs::path> left = app.left_in_temp();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(tree_of(left[0]), (std::vector<std::string>{"probe_app.dll", "sample_helper.dll", "vorbel.lck"}));
  // A scanner may still hold the files just written, and a sweep leaves a
  // directory it cannot remove to a later run; the case here is the killed
  // instances, so the next run comes once such a hold is over.
  wait_out_scanner_holds();

  ProcessResult next = app.run({L"--fault", L"exit-process", L"12"});
  EXPECT_EQ(next.exit_code, 12u) << next.out << next.err;
  EXPECT_TRUE(app.left_in_temp().empty());
  remove_left(left[0]);
}

// Run by the test small_temp_volume, which mounts a small volume and names it
// in VORBEL_SMALL_TEMP; skipped elsewhere.
TEST(FaultsEndToEnd, ATempVolumeThatFillsUpStopsWithTheWriteErrorAndNoHang) {
  const char* small = std::getenv("VORBEL_SMALL_TEMP");
  if (small == nullptr || *small == '\0') GTEST_SKIP() << "no small volume mounted (test small_temp_volume)";
  PackedApp app(probe_app_dll(), false);
  // 2 MiB that do not compress, for a volume of 1 MiB.
  std::string noise(2 << 20, '\0');
  unsigned state = 12345;
  for (char& byte : noise) byte = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
  write_file(app.scratch.path() / L"noise.bin", noise);
  fs::path packed = app.scratch.path() / L"noisy.exe";
  run_pack({L"build", L"--launcher", launcher_exe(), L"--app", probe_app_dll(), L"--add",
            (app.scratch.path() / L"noise.bin").wstring(), L"--level", L"1", L"-o", packed.wstring()});

  fs::path temp = fs::path(widen(small)) / L"tmp";
  fs::create_directories(temp);
  RunOptions options;
  options.env = {{L"TEMP", temp.wstring()}, {L"TMP", temp.wstring()}, {L"VORBEL_ONEFILE_PARENT", std::nullopt}};
  options.timeout_ms = 60000;
  ProcessResult result = run_process(packed.wstring(), L"app.exe", options);
  EXPECT_EQ(result.exit_code, 2u) << result.out << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, text_mode("Error, couldn't unpack file to target path. ([Error 112] " +
                                  system_message(ERROR_DISK_FULL) + ")\n"));
  // No failure exit removes the extraction directory: the part written stays.
  std::vector<fs::path> left;
  for (const auto& entry : fs::directory_iterator(temp)) left.push_back(entry.path());
  ASSERT_EQ(left.size(), 1u);
  std::vector<std::string> files = tree_of(left[0]);
  EXPECT_EQ(files, (std::vector<std::string>{"noise.bin", "probe_app.dll", "vorbel.lck"}));
  EXPECT_LT(fs::file_size(left[0] / L"noise.bin"), noise.size());
  remove_left(left[0]);
}

// A packed launcher whose payload is made by hand: its first entry is the
// probe application under `first_name`.
fs::path embed_probe(const ScratchDir& scratch, const std::wstring& first_name, const std::wstring& second_name) {
  std::vector<TestEntry> entries = {{first_name, read_file(fs::path(probe_app_dll()))}};
  if (!second_name.empty()) entries.push_back({second_name, "second"});
  write_file(scratch.path() / L"payload.bin", payload_resource(stored_frame(entry_stream(entries))));
  fs::path exe = scratch.path() / L"limits.exe";
  run_pack({L"embed", L"--launcher", launcher_exe(), L"--payload", (scratch.path() / L"payload.bin").wstring(), L"-o",
            exe.wstring()});
  return exe;
}

// A name of exactly `units` units: components of up to 200 units, then the file name.
std::wstring name_of_length(size_t units, const std::wstring& file) {
  std::wstring name;
  while (name.size() + file.size() < units) {
    size_t room = units - file.size() - name.size() - 1;
    name += std::wstring(std::min<size_t>(room, 200), L'd') + L"\\";
  }
  return name + file;
}

// The system hands out a temporary directory of at most MAX_PATH units, so the
// extraction directory made from {TEMP} stays far below its 4096-unit buffer on
// Windows and Wine alike (a deeper %TEMP% is not returned at all; this host's
// 4095-byte path limit would also stop one). The limits within reach: %TEMP%
// just under, at and past MAX_PATH, with entries of 1023-unit names below it.
TEST(FaultsEndToEnd, PathsAtTheLimitsUnpackAndRunOrStopOnlyAtTheSystemsLoader) {
  ScratchDir scratch;
  for (size_t temp_length : {size_t{200}, size_t{257}, size_t{258}, size_t{259}, size_t{300}}) {
    std::wstring temp = scratch.str() + L"\\";
    while (temp.size() < temp_length)
      temp += std::wstring(std::min<size_t>(temp_length - temp.size(), 100), L't') + L"\\";
    temp.resize(temp_length);
    if (temp.back() == L'\\') temp.back() = L't';
    fs::create_directories(L"\\\\?\\" + temp);
    // Where the directory should be, by what the system reports for this %TEMP%:
    // its temporary directory, or else (no value) the root of the current drive.
    std::wstring expected_parent;
    {
      ScopedEnv tmp(L"TMP", temp);
      ScopedEnv temp_variable(L"TEMP", temp);
      wchar_t given[MAX_PATH + 1];
      DWORD length = GetTempPathW(MAX_PATH + 1, given);
      expected_parent = length > 0 && length <= MAX_PATH ? std::wstring(given, length) : scratch.str().substr(0, 3);
    }
    for (int shape = 0; shape < 3; ++shape) {
      std::wstring first = shape == 1 ? name_of_length(1023, L"probe_app.dll") : L"probe_app.dll";
      std::wstring second = shape == 2 ? name_of_length(1023, L"second.txt") : L"";
      fs::path exe = embed_probe(scratch, first, second);
      RunOptions options;
      options.env = {{L"TEMP", temp},
                     {L"TMP", temp},
                     {L"VORBEL_ONEFILE_PARENT", std::nullopt},
                     {L"VORBEL_ONEFILE_START", std::nullopt}};
      options.current_directory = scratch.str();
      ProcessResult result = run_process(exe.wstring(), L"limits.exe", options);
      std::string module = value(report_of(result.out), "module");
      SCOPED_TRACE("TEMP of " + std::to_string(temp.size()) + " units, shape " + std::to_string(shape));
      std::printf("TEMP %zu units, first entry %s, second %s: status %lu, application loaded from %zu units %s%s\n",
                  temp.size(), shape == 1 ? "1023 units" : "short", shape == 2 ? "1023 units" : "none",
                  result.exit_code, module.size(), module.substr(0, 40).c_str(), result.err.c_str());
      if (result.exit_code == 0) {
        EXPECT_EQ(module.rfind(narrow(expected_parent) + "onefile_", 0), 0u) << module;
        EXPECT_EQ(module.substr(module.size() - first.size()), narrow(first));
        EXPECT_EQ(result.err, "");
      } else {
        // The launcher's own file calls take long paths in the \\?\ form, so
        // unpacking never stops here; only the system's loader may refuse a
        // DLL path past its limit (Windows without long paths; Wine has none).
        EXPECT_EQ(result.exit_code, 2u) << result.out << result.err;
        EXPECT_TRUE(is_one_error_line(result.out + result.err)) << result.out << result.err;
        EXPECT_EQ(result.err.rfind("Error, load DLL.", 0), 0u) << result.err;
      }
    }
  }
}

}  // namespace
