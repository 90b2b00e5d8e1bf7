// The Windows behaviours layer's state; see behaviours_state.h. Its own
// calls go to the system directly, never through the seam, and it takes no
// lock of the C runtime's: the launcher's sweep may be inside a wrapper when
// the process ends.
#include "tests/behaviours/behaviours_state.h"

#include <windows.h>
// sddl.h needs the declarations above.
#include <aclapi.h>
#include <sddl.h>

namespace behaviours_state {

HANDLE layer_heap = nullptr;




SystemCalls saved;
bool installed = false;
WindowsBehaviours on;

LayerState* state = nullptr;  // made at install, never destroyed

HANDLE log_file = INVALID_HANDLE_VALUE;
HANDLE log_mutex = nullptr;
uint64_t log_read = 0;  // bytes of the log replayed so far


Text decimal(uint64_t value) {
  wchar_t digits[24];
  size_t at = 24;
  do {
    digits[--at] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  return Text(digits + at, 24 - at);
}

uint64_t decimal_value(const wchar_t* text) {
  uint64_t value = 0;
  for (; *text >= L'0' && *text <= L'9'; ++text) value = value * 10 + static_cast<uint64_t>(*text - L'0');
  return value;
}


uint64_t system_time() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}


bool is_device_form(const wchar_t* path) { return wcsncmp(path, L"\\\\?\\", 4) == 0; }

// The full form of a plain path, as the system would make it; empty when it
// cannot be had.
Text full_form(const wchar_t* path) {
  wchar_t short_enough[1024];
  DWORD length = ::GetFullPathNameW(path, 1024, short_enough, nullptr);
  if (length == 0) return L"";
  if (length < 1024) return Text(short_enough, length);
  Text full(length, L'\0');  // the length asked for counts the NUL
  DWORD written = ::GetFullPathNameW(path, length, full.data(), nullptr);
  if (written == 0 || written >= length) return L"";
  full.resize(written);
  return full;
}

// One spelling per file: no "\\?\", full, backslashes, lower case, no
// trailing backslash.
Text normalised(const wchar_t* path) {
  Text text = path;
  if (starts_with(text, L"\\\\?\\UNC\\")) {
    text = L"\\" + text.substr(7);
  } else if (is_device_form(path)) {
    text = text.substr(4);
  } else {
    Text full = full_form(path);
    if (!full.empty()) text = full;
  }
  for (wchar_t& unit : text) unit = unit == L'/' ? L'\\' : unit;
  // As the file system compares names: letter case ignored, in any script.
  if (!text.empty()) {
    LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, text.data(), static_cast<int>(text.size()), text.data(),
                  static_cast<int>(text.size()), nullptr, nullptr, 0);
  }
  while (text.size() > 3 && text.back() == L'\\') text.pop_back();
  return text;
}

bool is_at_or_below(const Text& path, const Text& top) {
  return path.size() >= top.size() && path.compare(0, top.size(), top) == 0 &&
         (path.size() == top.size() || path[top.size()] == L'\\');
}

// ---- path limits ----
// Windows without the LongPathsEnabled policy (its default) refuses a plain
// path of MAX_PATH units and more in every file call, and of MAX_PATH - 12 in
// CreateDirectoryW; only the "\\?\" form passes. Wine takes any length, so
// a plain long path that reaches a file call goes unnoticed there.

// Whether a plain path reaches the limit: its full form counts, as the
// system's conversion makes it before the limit applies.
bool beyond_limit(const wchar_t* path, size_t limit) {
  if (!on.path_limits || path == nullptr || is_device_form(path)) return false;
  Text full = full_form(path);
  return (full.empty() ? wcslen(path) : full.size()) >= limit;
}

// True, with the system's error for it set, when the path limits refuse path.
bool refused(const wchar_t* path, size_t limit, DWORD error) {
  if (!beyond_limit(path, limit)) return false;
  SetLastError(error);
  return true;
}

// ---- the shared log ----

void apply(const Text& line) {
  if (line.size() < 2 || line[1] != L'\t') return;
  Text rest = line.substr(2);
  size_t tab = rest.find(L'\t');
  switch (line[0]) {
    case L'O':  // owner <sid> <path>
      if (tab != Text::npos) state->owners[rest.substr(tab + 1)] = rest.substr(0, tab);
      break;
    case L'H':  // held until <time> <path>
      if (tab != Text::npos) state->holds.emplace(rest.substr(tab + 1), decimal_value(rest.c_str()));
      break;
    case L'M': {  // moved <from> <to>: what lies below goes along
      if (tab == Text::npos) break;
      Text from = rest.substr(0, tab);
      Text to = rest.substr(tab + 1);
      ByPath<Text> moved_owners;
      for (auto it = state->owners.begin(); it != state->owners.end();) {
        if (is_at_or_below(it->first, from)) {
          moved_owners[to + it->first.substr(from.size())] = it->second;
          it = state->owners.erase(it);
        } else {
          ++it;
        }
      }
      state->owners.insert(moved_owners.begin(), moved_owners.end());
      ByPaths<uint64_t> moved_holds;
      for (auto it = state->holds.begin(); it != state->holds.end();) {
        if (is_at_or_below(it->first, from)) {
          moved_holds.emplace(to + it->first.substr(from.size()), it->second);
          it = state->holds.erase(it);
        } else {
          ++it;
        }
      }
      state->holds.insert(moved_holds.begin(), moved_holds.end());
      break;
    }
    case L'G':  // gone <path>: a directory made there later is a new one
      for (auto it = state->owners.begin(); it != state->owners.end();) {
        it = is_at_or_below(it->first, rest) ? state->owners.erase(it) : std::next(it);
      }
      break;
  }
}

// Replays what other processes appended since the last call; a line still
// being written waits for the next call. The mutex orders the appends only:
// a reader needs none (the file system shows a write's bytes before the size
// that includes them), and the checks on every removal stay cheap.
void catch_up() {
  if (log_file == INVALID_HANDLE_VALUE) return;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(log_file, &size) || static_cast<uint64_t>(size.QuadPart) <= log_read) return;
  Bytes bytes(static_cast<size_t>(size.QuadPart - log_read), '\0');
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(log_read);
  at.OffsetHigh = static_cast<DWORD>(log_read >> 32);
  DWORD read = 0;
  if (!ReadFile(log_file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, &at)) return;
  log_read += read - read % sizeof(wchar_t);
  state->log_partial.append(reinterpret_cast<const wchar_t*>(bytes.data()), read / sizeof(wchar_t));
  for (size_t end = state->log_partial.find(L'\n'); end != Text::npos; end = state->log_partial.find(L'\n')) {
    apply(state->log_partial.substr(0, end));
    state->log_partial.erase(0, end + 1);
  }
}

// A process killed while it held the mutex leaves it abandoned: the next
// waiter owns it all the same.
void lock_log() {
  if (log_mutex != nullptr) WaitForSingleObject(log_mutex, INFINITE);
}

void unlock_log() {
  if (log_mutex != nullptr) ReleaseMutex(log_mutex);
}

void sync() { catch_up(); }

// Appends one event and applies it here; in a process of its own (no state
// file) it is only applied.
void record(const Text& event) {
  if (log_file == INVALID_HANDLE_VALUE) {
    apply(event);
    return;
  }
  lock_log();
  catch_up();
  Text line = event + L"\n";
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(log_read);
  DWORD written = 0;
  OVERLAPPED at = {};
  at.Offset = end.LowPart;
  at.OffsetHigh = static_cast<DWORD>(end.HighPart);
  WriteFile(log_file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, &at);
  catch_up();  // reads the line back, so that events apply in the log's order everywhere
  unlock_log();
}

// One mutex per state file, named after the file's path.
Text mutex_name(const std::wstring& state_file) {
  uint64_t hash = 14695981039346656037ull;
  for (wchar_t unit : normalised(state_file.c_str())) hash = (hash ^ unit) * 1099511628211ull;
  return L"Local\\vorbel-windows-behaviours-" + decimal(hash);
}

// ---- the scanner ----
// Windows: Defender's real-time protection scans a file when the handle it
// was written through is closed, and meanwhile state->holds it open; a rename or
// removal of the file, or of a directory above it, fails with
// ERROR_ACCESS_DENIED or ERROR_SHARING_VIOLATION. Wine has no scanner: the
// files are free the moment they are closed.

bool held_at_or_below(const wchar_t* path) {
  if (on.scanner_hold_ms == 0 || path == nullptr) return false;
  StateLock guard;
  sync();
  Text top = normalised(path);
  uint64_t now = system_time();
  bool held = false;
  for (auto it = state->holds.lower_bound(top);
       it != state->holds.end() && it->first.compare(0, top.size(), top) == 0;) {
    if (it->second <= now) {
      it = state->holds.erase(it);
      continue;
    }
    held = held || is_at_or_below(it->first, top);
    ++it;
  }
  return held;
}

// ---- the elevated token ----
// Windows: an administrator's elevated token names BUILTIN\Administrators as
// the default owner, so a directory made with a security descriptor that
// names no owner belongs to the group, not to the user. Wine keeps no owner
// of its own: it reports the user for every directory.

Text sid_text(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"";
  Text result = text;
  LocalFree(text);
  return result;
}

Text administrators_text() {
  alignas(8) unsigned char sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size)) return L"";
  return sid_text(sid);
}

// The owner the layer state->holds for an open handle's directory; empty when none.
Text recorded_owner(HANDLE object) {
  StateLock guard;
  auto file = state->open_files.find(object);
  if (file == state->open_files.end()) return L"";
  sync();
  auto owner = state->owners.find(file->second.path);
  return owner == state->owners.end() ? L"" : owner->second;
}

}  // namespace behaviours_state
