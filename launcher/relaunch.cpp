// The re-launched instance's two operations; see relaunch.h.
// The check compares executables, not parentage: any process that inherits
// VORBEL_ONEFILE_PARENT and runs this file while the parent lives qualifies.
#include "launcher/relaunch.h"

#include <errno.h>
#include <stdlib.h>
#include <windows.h>
// After windows.h, whose types it uses.
#include <psapi.h>

#include "common/bounded_text.h"
#include "common/error_report.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "common/unpack_progress.h"
#include "launcher/missing_dll.h"
#include "paths/env_access.h"
#include "paths/exe_path.h"
#include "payload/directory_lock.h"

static_assert(sizeof(unsigned long) == 4, "a process id is what wcstoul converts without overflow");

bool check_parent_launcher(const wchar_t* value, unsigned long* parent_id) {
  wchar_t* end = nullptr;
  errno = 0;
  // msvcrt's unsigned long is 32 bits: a larger number sets errno.
  unsigned long id = wcstoul(value, &end, 10);
  if (errno != 0 || *end != L'\0') return false;

  HANDLE parent = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, static_cast<DWORD>(id));
  if (parent == nullptr) return false;
  wchar_t parent_image_path[PARENT_IMAGE_PATH_CAPACITY];
  TextCursor image = text_start(parent_image_path, PARENT_IMAGE_PATH_CAPACITY);
  DWORD length = K32GetModuleFileNameExW(parent, nullptr, image.text, static_cast<DWORD>(text_room(&image)));
  if (length == 0) {
    CloseHandle(parent);
    return false;
  }
  // A path cut to the buffer is a stop, like every text that does not fit.
  text_extend(&image, length);
  // The parent starts this process by its own module path, so in every
  // normal run the two read alike and name one file; resolving both (two
  // opens, two final-path queries and a walk for short names each) would
  // tell nothing more. Only paths written differently need it.
  if (wcscmp(parent_image_path, get_executable_path(false)) == 0) {
    CloseHandle(parent);
    *parent_id = id;
    return true;
  }
  if (!resolve_existing_final_path(parent_image_path, PARENT_IMAGE_PATH_CAPACITY)) {
    // The parent runs, but its file is not where it was started from: the
    // packed program was renamed or moved, and the extraction directory
    // cannot be found from here.
    DWORD error = GetLastError();
    CloseHandle(parent);
    report_system_error("Error, the packed program's file moved while it ran", error);
    end_after_report(2);
  }
  bool same = wcscmp(parent_image_path, get_executable_path(true)) == 0;
  CloseHandle(parent);
  *parent_id = id;
  return same;
}

namespace {

// LoadLibraryExW appends ".dll" to a file name without an extension; a
// trailing "." makes it load the file that was written, under its own name.
wchar_t application_load_path[FIRST_ENTRY_PATH_CAPACITY + 1];

const wchar_t* load_path_of(const wchar_t* path) {
  TextCursor load_path = text_start(application_load_path, FIRST_ENTRY_PATH_CAPACITY + 1);
  text_append(&load_path, path);
  const wchar_t* name = path;
  for (const wchar_t* unit = path; *unit != L'\0'; ++unit) {
    if (*unit == L'\\' || *unit == L'/') name = unit + 1;
  }
  if (wcschr(name, L'.') == nullptr) text_append_unit(&load_path, L'.');
  return application_load_path;
}

// Codes a load fails with when the machine refuses the file itself, as
// numbers: the toolchain's headers lack the last two.
constexpr DWORD BLOCKED_BY_POLICY = 1260;            // ERROR_ACCESS_DISABLED_BY_POLICY
constexpr DWORD BLOCKED_BY_INTEGRITY_POLICY = 4551;  // ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION
constexpr DWORD BLOCKED_AS_INFECTED = 225;           // ERROR_VIRUS_INFECTED

// The launcher cannot change these refusals: the machine's policy or its
// antivirus decides what loads from where the files are unpacked. One line
// more says what the code means and what an administrator can allow.
void explain_refused_load(DWORD error) {
  switch (error) {
    case BLOCKED_BY_POLICY:
      print_error(
          "Error, a policy of this machine (AppLocker or Software Restriction Policies) allows DLLs only from Program "
          "Files and Windows, and the application's DLLs load from '%ls'; an administrator can allow them, best by a "
          "publisher rule for a signed application DLL.\n",
          extraction_dir);
      break;
    case BLOCKED_BY_INTEGRITY_POLICY:
      print_error(
          "Error, this machine's code integrity policy (App Control, also called WDAC) refused "
          "a DLL in '%ls'; an administrator can allow it, best by a publisher rule for a signed application DLL.\n",
          extraction_dir);
      break;
    case BLOCKED_AS_INFECTED:
      print_error(
          "Error, an antivirus refused a DLL in '%ls' as infected; if that is wrong, an administrator can allow the "
          "file in the antivirus, and its publisher can send it to the antivirus maker for review.\n",
          extraction_dir);
      break;
    default:
      break;
  }
}

}  // namespace

int run_application_dll(int count, wchar_t** arguments) {
  // Held from before the first file of the directory is loaded until this
  // process ends, so that no sweep takes the directory from under it.
  join_extraction_dir_lock();
  return start_application_dll(count, arguments);
}

int start_application_dll(int count, wchar_t** arguments, void (*load_failed)(unsigned long error)) {
  // In the cached mode the window is in this process: gone before the
  // application's code can run (its DLL's start-up code included).
  end_unpack_progress();
  // Before the DLL loads, so that its own start-up code can read it too.
  set_env_narrow("VORBEL_ONEFILE_CONTENTS", extraction_dir);
  // Without it, DLLs the application imports from the extraction directory
  // would be looked for in System32 alone.
  if (AddDllDirectory(extraction_dir) == nullptr) {
    report_system_error("Error, couldn't add the extraction directory to the DLL search path", GetLastError());
    end_after_report(2);
  }
  HMODULE application = system_calls.LoadLibraryExW(
      load_path_of(first_entry_path), nullptr,
      LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (application == nullptr) {
    DWORD error = GetLastError();
    report_system_error("Error, load DLL.", error);
    if (error == ERROR_MOD_NOT_FOUND) report_missing_dll(first_entry_path);
    explain_refused_load(error);
    if (load_failed != nullptr) load_failed(error);
    end_after_report(2);
  }
  using RunCode = int (*)(int, wchar_t**);
  auto run_code =
      reinterpret_cast<RunCode>(reinterpret_cast<void*>(system_calls.GetProcAddress(application, "run_code")));
  if (run_code == nullptr) fatal_error("Error, DLL entry point not found.");
  return run_code(count, arguments);
}
