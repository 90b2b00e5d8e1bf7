// The Windows behaviours layer's state, shared by its wrappers
// (windows_behaviours.cpp): a heap of its own, the open files, the directory
// owners and held files that span the run's processes as an append-only log
// in the test's state file, and the normalised spelling of a path.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

#include "common/system_calls.h"
#include "tests/behaviours/windows_behaviours.h"

namespace behaviours_state {

extern HANDLE layer_heap;

template <typename T>
struct LayerAllocator {
  using value_type = T;
  LayerAllocator() = default;
  template <typename U>
  LayerAllocator(const LayerAllocator<U>&) {}
  T* allocate(size_t count) {
    void* block = HeapAlloc(layer_heap, 0, count * sizeof(T));
    if (block == nullptr) abort();
    return static_cast<T*>(block);
  }
  void deallocate(T* block, size_t) { HeapFree(layer_heap, 0, block); }
  template <typename U>
  bool operator==(const LayerAllocator<U>&) const {
    return true;
  }
  template <typename U>
  bool operator!=(const LayerAllocator<U>&) const {
    return false;
  }
};

using Text = std::basic_string<wchar_t, std::char_traits<wchar_t>, LayerAllocator<wchar_t>>;
using Bytes = std::basic_string<char, std::char_traits<char>, LayerAllocator<char>>;
template <typename Value>
using ByPath = std::map<Text, Value, std::less<Text>, LayerAllocator<std::pair<const Text, Value>>>;
template <typename Value>
using ByPaths = std::multimap<Text, Value, std::less<Text>, LayerAllocator<std::pair<const Text, Value>>>;

struct LayerOpenFile {
  Text path;  // normalised
  bool writing;
};

struct LayerState {
  CRITICAL_SECTION lock;
  std::unordered_map<HANDLE, LayerOpenFile, std::hash<HANDLE>, std::equal_to<HANDLE>,
                     LayerAllocator<std::pair<const HANDLE, LayerOpenFile>>>
      open_files;
  ByPath<Text> owners;      // normalised directory path -> owner SID as text
  ByPaths<uint64_t> holds;  // normalised file path -> held until (system time)
  Text log_partial;         // the log's last line while it is incomplete
};

extern LayerState* state;  // made at install, never destroyed

struct StateLock {
  StateLock() { EnterCriticalSection(&state->lock); }
  ~StateLock() { LeaveCriticalSection(&state->lock); }
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;
};

constexpr size_t PLAIN_PATH_LIMIT = MAX_PATH;            // units, the terminating NUL's place included
constexpr size_t PLAIN_DIRECTORY_LIMIT = MAX_PATH - 12;  // room left for an 8.3 name below

template <typename String>
bool starts_with(const String& text, const wchar_t* prefix) {
  return text.rfind(prefix, 0) == 0;
}

extern SystemCalls saved;   // the seam's entries found at install
extern bool installed;
extern WindowsBehaviours on;
extern HANDLE log_file;
extern HANDLE log_mutex;
extern uint64_t log_read;  // bytes of the log replayed so far

Text decimal(uint64_t value);
uint64_t system_time();
bool is_device_form(const wchar_t* path);
// The full form of a plain path, as the system would make it; empty when it
// cannot be had.
Text full_form(const wchar_t* path);
// One spelling per file: no "\\?\", full, backslashes, lower case, no
// trailing backslash.
Text normalised(const wchar_t* path);
// True, with the system's error for it set, when the path limits refuse path.
bool refused(const wchar_t* path, size_t limit = PLAIN_PATH_LIMIT, DWORD error = ERROR_PATH_NOT_FOUND);
// Appends one event to the shared log and applies it here.
void record(const Text& event);
// One mutex per state file, named after the file's path.
Text mutex_name(const std::wstring& state_file);
// Whether the scanner holds a file at or below path.
bool held_at_or_below(const wchar_t* path);
Text sid_text(PSID sid);
Text administrators_text();
// The owner the layer holds for an open handle's directory; empty when none.
Text recorded_owner(HANDLE object);

}  // namespace behaviours_state
