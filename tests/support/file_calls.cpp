// Recording stand-ins for an unpack's file calls; see file_calls.h.
#include "tests/support/file_calls.h"

#include <atomic>
#include <mutex>

namespace {

std::mutex calls_lock;
std::vector<FileCall> calls;
std::atomic<int> next_sequence;
DWORD close_delay_ms;

}  // namespace

void record(FileCall::Kind kind, HANDLE handle) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  std::lock_guard<std::mutex> hold(calls_lock);
  calls.push_back({kind, next_sequence++, GetCurrentThreadId(), handle, now});
}

int take_sequence() { return next_sequence++; }

std::vector<FileCall> all_calls() {
  std::lock_guard<std::mutex> hold(calls_lock);
  return calls;
}

std::vector<FileCall> calls_of(FileCall::Kind kind) {
  std::lock_guard<std::mutex> hold(calls_lock);
  std::vector<FileCall> found;
  for (const FileCall& call : calls) {
    if (call.kind == kind) found.push_back(call);
  }
  return found;
}

void start_recording(DWORD delay_ms) {
  std::lock_guard<std::mutex> hold(calls_lock);
  calls.clear();
  close_delay_ms = delay_ms;
}

HANDLE WINAPI recording_open(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                             DWORD disposition, DWORD flags, HANDLE template_file) {
  HANDLE file = CreateFileW(path, access, share, attributes, disposition, flags, template_file);
  if (access == GENERIC_WRITE) record(FileCall::OPEN, file);
  return file;
}

BOOL WINAPI recording_write(HANDLE file, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
  record(FileCall::WRITE, file);
  return WriteFile(file, data, count, written, overlapped);
}

BOOL WINAPI recording_directory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
  record(FileCall::DIRECTORY, nullptr);
  return CreateDirectoryW(path, attributes);
}

BOOL WINAPI slow_recording_close(HANDLE file) {
  Sleep(close_delay_ms);
  BOOL closed = CloseHandle(file);
  record(FileCall::CLOSE, file);
  return closed;
}

std::multiset<HANDLE> handles_of(const std::vector<FileCall>& found) {
  std::multiset<HANDLE> handles;
  for (const FileCall& call : found) handles.insert(call.handle);
  return handles;
}

std::set<DWORD> threads_of(const std::vector<FileCall>& found) {
  std::set<DWORD> threads;
  for (const FileCall& call : found) threads.insert(call.thread);
  return threads;
}

std::string contents_of(int index) {
  return std::string(static_cast<size_t>(index * 37 % 5000), static_cast<char>('a' + index % 26));
}

std::vector<TestEntry> many_files(int count) {
  std::vector<TestEntry> entries = {{L"app.dll", "MZ"}};
  for (int i = 1; i < count; ++i) {
    entries.push_back({L"d" + std::to_wstring(i % 7) + L"\\f" + std::to_wstring(i) + L".txt", contents_of(i)});
  }
  return entries;
}

