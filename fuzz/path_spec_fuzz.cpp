// Property: for any directory spec, capacity from 1 to 4097 and any values the
// system and the environment supply, expand_path_spec (the launcher's own
// source, built for the host) never writes past the capacity, nor lets a
// system call do so; the output is terminated whatever the outcome; and the
// outcome (true, false, or a stop through abort) and the text are those of an
// independent model of the expansion rules written from their description.
// An inherited VORBEL_ONEFILE_START is modelled by the launcher's rule
// exactly, so a start time let through by mistake (one that could steer the
// directory) is a finding.
#include <setjmp.h>
#include <signal.h>
#include <unistd.h>
#include <stdlib.h>
#include <wchar.h>
#include <wctype.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/long_path.h"
#include "common/system_calls.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_spec_input.h"
#include "paths/env_access.h"
#include "paths/path_spec.h"
#include "paths/product_info.h"

extern "C" int __sanitizer_get_ownership(const volatile void* pointer);

using vorbel::fuzz::SpecInput;

namespace {

// ---- The world the expansion sees --------------------------------------------

SpecInput world;
std::wstring world_values[vorbel::fuzz::kValueCount];
std::map<std::string, std::wstring> environment;
const wchar_t* output_start = nullptr;
size_t output_capacity = 0;
jmp_buf stopped;
// Every {PID} and {TIME} of a spec takes a copy: as many as the spec has.
std::vector<wchar_t*> env_copies;

std::wstring widened(const std::u16string& units) { return std::wstring(units.begin(), units.end()); }

bool flag(uint8_t bit) { return (world.flags & bit) != 0; }

// A callee may write anywhere in the room it was given, and nowhere else.
void check_room(const wchar_t* buffer, size_t length) {
  FUZZ_CHECK(buffer >= output_start && buffer + length <= output_start + output_capacity);
}

DWORD fake_temp_path(DWORD length, LPWSTR buffer) {
  check_room(buffer, length);
  if (flag(vorbel::fuzz::kTempFails)) return 0;
  const std::wstring& temp = world_values[vorbel::fuzz::kTemp];
  if (temp.size() + 1 > length) {
    // Too small: report the size needed, after scribbling over the room given.
    wmemset(buffer, L'Z', length);
    return static_cast<DWORD>(temp.size() + 1);
  }
  wmemcpy(buffer, temp.c_str(), temp.size() + 1);
  return static_cast<DWORD>(temp.size());
}

HRESULT fake_folder_path(HWND, int folder, HANDLE, DWORD, LPWSTR path) {
  bool profile = folder == CSIDL_PROFILE;
  FUZZ_CHECK(profile || folder == CSIDL_LOCAL_APPDATA);
  if (flag(profile ? vorbel::fuzz::kHomeFails : vorbel::fuzz::kCacheFails)) return E_FAIL;
  std::wstring value = world_values[profile ? vorbel::fuzz::kHome : vorbel::fuzz::kCache].substr(0, MAX_PATH - 1);
  wmemcpy(path, value.c_str(), value.size() + 1);
  return S_OK;
}

}  // namespace

// ---- Host stand-ins for what path_spec.cpp calls outside the seam ------------

// No directory exists in the target's world: {CACHE_DIR} is always the
// shell's folder, whatever LOCALAPPDATA holds.
DWORD WINAPI fake_attributes(LPCWSTR) { return INVALID_FILE_ATTRIBUTES; }

SystemCalls system_calls = {fake_temp_path, fake_folder_path, fake_attributes};

// The target's TEMP values are taken as full already: the system's full path
// has no host stand-in, and the model compares the value as it stands.
void full_root_form(wchar_t*, size_t) {}

int __argc = 0;
wchar_t** __wargv = nullptr;

void GetSystemTimeAsFileTime(FILETIME* time) {
  uint64_t count = static_cast<uint64_t>(world.clock);
  time->dwLowDateTime = static_cast<DWORD>(count);
  time->dwHighDateTime = static_cast<DWORD>(count >> 32);
}

wchar_t* get_env_copy_narrow(const char* name) {
  auto found = environment.find(name);
  if (found == environment.end() || found->second.empty()) return nullptr;
  wchar_t* copy = static_cast<wchar_t*>(malloc((found->second.size() + 1) * sizeof(wchar_t)));
  wmemcpy(copy, found->second.c_str(), found->second.size() + 1);
  env_copies.push_back(copy);
  return copy;
}

void set_env_narrow(const char* name, const wchar_t* value) {
  if (value == nullptr) {
    environment.erase(name);
  } else {
    environment[name] = value;
  }
}

void format_process_id(unsigned long id, wchar_t* text, size_t capacity) {
  swprintf(text, capacity, L"%lu", id);
}

void format_own_process_id(wchar_t* text, size_t capacity) {
  format_process_id(world.own_id, text, capacity);
}

// This program's abort replaces the C library's: during an expansion a stop
// is an outcome to compare, not a crash; anywhere else it is the usual signal.
namespace {
bool expanding = false;
}
extern "C" void abort() noexcept {
  if (expanding) {
    expanding = false;
    longjmp(stopped, 1);
  }
  signal(SIGABRT, SIG_DFL);
  raise(SIGABRT);
  _exit(134);
}

namespace {

// ---- The model ----------------------------------------------------------------

enum class Outcome { kTrue, kFalse, kAbort };

struct Model {
  size_t capacity;
  std::wstring out;
  std::optional<std::wstring> start_after;
  bool stopped = false;

  size_t remaining() const { return capacity - out.size(); }

  bool append(const std::wstring& value) {
    for (wchar_t unit : value) {
      if (remaining() <= 1) return !(stopped = true);
      out.push_back(unit);
    }
    return true;
  }
  void trim(size_t floor) {
    while (out.size() > floor && out.back() == L'\\') out.pop_back();
  }
  static bool same_name(const std::wstring& a, const wchar_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != L'\0'; ++i) {
      if (towlower(a[i]) != towlower(b[i])) return false;
    }
    return i == a.size() && b[i] == L'\0';
  }

  // False for "the expansion returns false"; `stopped` for abort.
  bool variable(const std::wstring& name) {
    using namespace vorbel::fuzz;
    if (same_name(name, L"TEMP")) {
      const std::wstring& temp = world_values[kTemp];
      if (!flag(kTempFails) && temp.size() < remaining()) out += temp;
      trim(0);
      return true;
    }
    if (same_name(name, L"PROGRAM") || same_name(name, L"PROGRAM_BASE") || same_name(name, L"PROGRAM_DIR")) {
      if (flag(kNoArgv0)) return !(stopped = true);
      size_t begin = out.size();
      if (!append(world_values[kArgv0])) return false;
      std::wstring appended = out.substr(begin);
      if (same_name(name, L"PROGRAM_BASE") && appended.size() >= 4 &&
          same_name(appended.substr(appended.size() - 4), L".exe")) {
        out.resize(out.size() - 4);
      }
      if (same_name(name, L"PROGRAM_DIR") && appended.rfind(L'\\') != std::wstring::npos) {
        out.resize(begin + appended.rfind(L'\\'));
      }
      return true;
    }
    if (same_name(name, L"PID")) {
      // The decided id, never the variable's text, whatever it holds.
      return append(std::to_wstring(spec_process_id != 0 ? spec_process_id : world.own_id));
    }
    if (same_name(name, L"HOME") || same_name(name, L"CACHE_DIR")) {
      bool home = same_name(name, L"HOME");
      if (flag(home ? kHomeFails : kCacheFails)) return false;
      if (!append(world_values[home ? kHome : kCache].substr(0, MAX_PATH - 1))) return false;
      trim(0);
      return true;
    }
    if (same_name(name, L"PRODUCT")) return append(VORBEL_PRODUCT_NAME_TEXT);
    if (same_name(name, L"VERSION")) return append(VORBEL_PRODUCT_VERSION_TEXT);
    if (same_name(name, L"TIME")) {
      std::wstring start = start_after ? *start_after : environment_before("VORBEL_ONEFILE_START");
      if (!is_time_stamp(start)) {
        start = std::to_wstring(world.clock);
        start_after = start;
      }
      return append(start);
    }
    return false;
  }

  // An inherited start time is taken only as a FILETIME count: 1 to 20
  // decimal digits, zeros in front included, of a value below 2^64. Anything
  // else counts as unset. Compared as text, so that no arithmetic is shared
  // with the code under test.
  static bool is_time_stamp(const std::wstring& text) {
    if (text.empty() || text.size() > 20) return false;
    for (wchar_t unit : text) {
      if (unit < L'0' || unit > L'9') return false;
    }
    std::wstring significant = text.substr(std::min(text.find_first_not_of(L'0'), text.size()));
    const std::wstring largest = L"18446744073709551615";  // 2^64 - 1
    return significant.size() < largest.size() || significant <= largest;
  }

  static std::wstring environment_before(const char* name) {
    using namespace vorbel::fuzz;
    return widened(world.values[std::string(name) == "VORBEL_ONEFILE_PARENT" ? kParent : kStart]);
  }

  Outcome expand(const std::wstring& spec) {
    bool in_reference = false;
    std::wstring name;
    for (wchar_t unit : spec) {
      if (unit == L'{') {
        in_reference = true;
        name.clear();
      } else if (in_reference && unit == L'}') {
        bool ok = variable(name);
        if (stopped) return Outcome::kAbort;
        if (!ok) return Outcome::kFalse;
        in_reference = false;
      } else if (in_reference) {
        if (name.size() + 1 >= 1024) return Outcome::kFalse;
        name.push_back(unit);
      } else {
        if (remaining() <= 1) return Outcome::kFalse;
        out.push_back(unit);
      }
    }
    return Outcome::kTrue;
  }
};

void set_up_world(const uint8_t* data, size_t size) {
  using namespace vorbel::fuzz;
  world = decode_spec_input(data, size);
  if (flag(kParentDigits)) {
    for (auto& unit : world.values[kParent]) unit = static_cast<char16_t>(u'0' + unit % 10);
  }
  // Digits of any length, zeros in front included, reach the 20-digit and
  // 2^64 edges that random units seldom do.
  if (flag(kStartDigits)) {
    for (auto& unit : world.values[kStart]) unit = static_cast<char16_t>(u'0' + unit % 10);
  }
  if (flag(kStartFormatted)) {
    std::string count = std::to_string(static_cast<uint64_t>(world.clock) >> 1);
    world.values[kStart] = std::u16string(count.begin(), count.end());
  }
  for (int i = 0; i < kValueCount; ++i) world_values[i] = widened(world.values[i]);
  environment.clear();
  if (!world.values[kParent].empty()) environment["VORBEL_ONEFILE_PARENT"] = world_values[kParent];
  // A re-launched instance's id, as its role check decides it from the
  // variable's digits; the variable stays set, text and all, since {PID}
  // must never read it.
  spec_process_id = 0;
  if (flag(kParentDigits)) {
    for (char16_t unit : world.values[kParent]) spec_process_id = (spec_process_id * 10 + (unit - u'0')) & 0xFFFFFFFFul;
  }
  if (!world.values[kStart].empty()) environment["VORBEL_ONEFILE_START"] = world_values[kStart];
}

// Environment copies that a stop left behind (freed ones are no longer owned).
void release_env_copies() {
  for (wchar_t* copy : env_copies) {
    if (__sanitizer_get_ownership(copy)) free(copy);
  }
  env_copies.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  set_up_world(data, size);
  std::wstring argv0 = world_values[vorbel::fuzz::kArgv0];
  wchar_t* argv[] = {argv0.data(), nullptr};
  bool no_argv0 = flag(vorbel::fuzz::kNoArgv0);
  __argc = no_argv0 ? 0 : 1;
  __wargv = no_argv0 ? nullptr : argv;
  std::wstring spec = widened(world.spec);

  // Exactly the capacity on the heap, so that one unit more is an ASan report.
  wchar_t* output = static_cast<wchar_t*>(malloc(world.capacity * sizeof(wchar_t)));
  wmemset(output, L'?', world.capacity);
  output_start = output;
  output_capacity = world.capacity;

  Outcome outcome = Outcome::kAbort;
  if (setjmp(stopped) == 0) {
    expanding = true;
    outcome = expand_path_spec(output, spec.c_str(), world.capacity) ? Outcome::kTrue : Outcome::kFalse;
  }
  expanding = false;
  release_env_copies();

  FUZZ_CHECK(wmemchr(output, L'\0', world.capacity) != nullptr);
  std::wstring text(output);
  Model model{world.capacity, {}, {}};
  Outcome expected = model.expand(spec);
  std::optional<std::wstring> expected_start = model.start_after;
  if (!expected_start && !world.values[vorbel::fuzz::kStart].empty())
    expected_start = world_values[vorbel::fuzz::kStart];
  auto start_after = environment.find("VORBEL_ONEFILE_START");
  std::optional<std::wstring> actual_start =
      start_after == environment.end() ? std::nullopt : std::optional<std::wstring>(start_after->second);
  // Apart, so that the line of a finding tells which of them differs.
  FUZZ_CHECK(expected == outcome);
  FUZZ_CHECK(model.out == text);
  FUZZ_CHECK(expected_start == actual_start);
  free(output);
  return 0;
}
