// Recording stand-ins for the file calls of an unpack, for the tests of the
// closing pool and of a run: every open for writing, write, directory and
// close, numbered in one sequence across threads, and closes made as slow as
// a scanner on Windows makes them. Order and counts, never durations.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "tests/support/payload_builder.h"

struct FileCall {
  enum Kind { OPEN, WRITE, CLOSE, DIRECTORY, LISTING } kind;
  int sequence;
  DWORD thread;
  HANDLE handle;
  LARGE_INTEGER time;
};

// Forgets what was recorded; closes take delay_ms from now on.
void start_recording(DWORD delay_ms);
void record(FileCall::Kind kind, HANDLE handle);
// The next number of the sequence, for a mark of the test's own.
int take_sequence();

std::vector<FileCall> all_calls();
std::vector<FileCall> calls_of(FileCall::Kind kind);
std::multiset<HANDLE> handles_of(const std::vector<FileCall>& found);
std::set<DWORD> threads_of(const std::vector<FileCall>& found);

// Stand-ins for the seam. Only the unpacking opens for writing; the removal's
// own opens are not counted.
HANDLE WINAPI recording_open(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                             DWORD disposition, DWORD flags, HANDLE template_file);
BOOL WINAPI recording_write(HANDLE file, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED overlapped);
BOOL WINAPI recording_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes);
// What a scanner on Windows makes of a close: it ends only after a while.
BOOL WINAPI slow_recording_close(HANDLE file);

// A payload of count files (the application DLL first) in seven directories.
std::string contents_of(int index);
std::vector<TestEntry> many_files(int count);
