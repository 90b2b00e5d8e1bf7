// The re-launched instance's two operations; see relaunch.h.
// The check compares executables, not parentage: any process that inherits
// VORBEL_ONEFILE_PARENT and runs this file while the parent lives qualifies.
#include "launcher/relaunch.h"

#include <errno.h>
#include <stdlib.h>
#include <windows.h>
#include <psapi.h>

#include "common/bounded_text.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "paths/exe_path.h"
#include "shutdown/error_report.h"

bool check_parent_launcher(const wchar_t* value, unsigned long* parent_id) {
  wchar_t* end = nullptr;
  errno = 0;
  unsigned long id = wcstoul(value, &end, 10);
  if (errno != 0 || end == nullptr || *end != L'\0' || id > 0xFFFFFFFFul) return false;

  HANDLE parent = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, static_cast<DWORD>(id));
  if (parent == nullptr) return false;
  wchar_t parent_image_path[PARENT_IMAGE_PATH_CAPACITY];
  if (K32GetModuleFileNameExW(parent, nullptr, parent_image_path, PARENT_IMAGE_PATH_CAPACITY) == 0) {
    CloseHandle(parent);
    return false;
  }
  parent_image_path[PARENT_IMAGE_PATH_CAPACITY - 1] = L'\0';
  if (!resolve_existing_final_path(parent_image_path, PARENT_IMAGE_PATH_CAPACITY)) {
    // The parent runs, but its file is not where it was started from: the
    // packed program was renamed or moved, and the extraction directory
    // cannot be found from here.
    DWORD error = GetLastError();
    CloseHandle(parent);
    report_system_error("Error, the packed program's file moved while it ran", error);
    exit(2);
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
  copy_wide(application_load_path, FIRST_ENTRY_PATH_CAPACITY + 1, path);
  const wchar_t* name = path;
  for (const wchar_t* unit = path; *unit != L'\0'; ++unit) {
    if (*unit == L'\\' || *unit == L'/') name = unit + 1;
  }
  if (wcschr(name, L'.') == nullptr) append_wide_unit(application_load_path, FIRST_ENTRY_PATH_CAPACITY + 1, L'.');
  return application_load_path;
}

}  // namespace

int run_application_dll(int count, wchar_t** arguments) {
  AddDllDirectory(extraction_dir);
  HMODULE application =
      LoadLibraryExW(load_path_of(first_entry_path), nullptr,
                     LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (application == nullptr) {
    report_system_error("Error, load DLL.", GetLastError());
    exit(2);
  }
  using RunCode = int (*)(int, wchar_t**);
  auto run_code = reinterpret_cast<RunCode>(reinterpret_cast<void*>(system_calls.GetProcAddress(application, "run_code")));
  if (run_code == nullptr) fatal_error("Error, DLL entry point not found.");
  return run_code(count, arguments);
}
