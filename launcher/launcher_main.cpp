// The run sequence: extracting instance (unpack, start the child, wait, clean
// up) or re-launched instance (load the application DLL and run it).
// Every failure ends the process where it happens; none of them cleans up.
#include "launcher/launcher_main.h"

#include <stdlib.h>

#include "common/error_report.h"
#include "common/launcher_names.h"
#include "common/long_path.h"
#include "common/run_state.h"
#include "common/system_calls.h"
#include "common/unpack_progress.h"
#include "launcher/cached_run.h"
#include "launcher/child_launch.h"
#include "launcher/detached_sweeper.h"
#include "launcher/relaunch.h"
#include "launcher/run_settings.h"
#include "paths/env_access.h"
#include "paths/path_spec.h"
#include "payload/directory_maker.h"
#include "payload/payload_reader.h"
#include "payload/unpack_payload.h"
#include "shutdown/console_cleanup.h"

namespace {

// msvcrt's abort writes "abnormal program termination" and, in a GUI-subsystem
// program, puts it in a message box unless the error mode says otherwise. A
// launcher that stops on a bound must never wait on a dialog, so the runtime
// is told to write such messages to standard error instead. abort itself is
// unchanged: it still raises SIGABRT and ends the process with the runtime's
// status (3). Wine shows no box either way, so this is ensured by
// construction rather than by a test.
void quiet_abort() { _set_error_mode(_OUT_TO_STDERR); }

}  // namespace

void find_home_directory(wchar_t* home) {
  if (!expand_path_spec(home, L"{HOME}", PATH_CAPACITY)) report_spec_error(L"{HOME}");
}

bool decide_role() {
  spec_process_id = 0;
  wchar_t* parent = get_env_copy_narrow("VORBEL_ONEFILE_PARENT");
  if (parent != nullptr) {
    unsigned long parent_id = 0;
    bool relaunched = check_parent_launcher(parent, &parent_id);
    free(parent);
    if (relaunched) {
      // The check takes " 32", "+32" and "032" for 32; {PID}, and whatever
      // the application reads, get the one form the parent itself wrote.
      spec_process_id = parent_id;
      wchar_t canonical_id[PROCESS_ID_TEXT_CAPACITY];
      format_process_id(parent_id, canonical_id, PROCESS_ID_TEXT_CAPACITY);
      set_env_narrow("VORBEL_ONEFILE_PARENT", canonical_id);
      return true;
    }
    set_env_narrow("VORBEL_ONEFILE_PARENT", nullptr);
    set_env_narrow("VORBEL_ONEFILE_START", nullptr);
  }
  // Before the expansion, so that {PID} yields this process's id. For the
  // child alone: the cached mode, whose application runs here, removes it.
  wchar_t own_id[PROCESS_ID_TEXT_CAPACITY];
  format_own_process_id(own_id, PROCESS_ID_TEXT_CAPACITY);
  set_child_env_narrow("VORBEL_ONEFILE_PARENT", own_id);
  return false;
}

int WINAPI launcher_main(HINSTANCE, HINSTANCE, LPWSTR, int) {
  SetDllDirectoryW(L"");  // first of all: the current directory is no DLL source
  quiet_abort();
  set_directory_home_source(find_home_directory);
  // Before anything else can fail: whether a failure is also shown in a box.
  load_launch_settings();
  // Before the role: a sweeper runs nothing of the application's.
  if (run_detached_sweeper()) return 0;
  bool relaunched = decide_role();
  // The extracting role's unpack, or the cached mode's first one; the
  // re-launched instance reads only the first name. Without a style the
  // unpack calls no hook at all.
  if (!relaunched && unpack_progress_style != PROGRESS_NONE) {
    begin_unpack_progress();
    unpack_progress_hook = report_unpack_progress;
  }
  // A packed program of the cached mode runs here from its kept bundle; a
  // child it started after falling back to a fresh directory is re-launched.
  int cached_status = 0;
  if (!relaunched && run_cached(&cached_status)) return cached_status;
  bool expanded = expand_path_spec(extraction_dir, as_wide(EXTRACTION_DIR_SPEC), PATH_CAPACITY);
  // Without TEMP the directory is "\onefile_...", on the current drive's
  // root: made full, so that its long paths take the "\\?\" form too.
  if (expanded) full_root_form(extraction_dir, PATH_CAPACITY);
  load_payload_resource();
  if (!expanded) report_spec_error(as_wide(EXTRACTION_DIR_SPEC));
  if (!relaunched && !system_calls.SetConsoleCtrlHandler(console_ctrl_handler, TRUE)) {
    fatal_error("Error, failed to register signal handler.");
  }
  open_payload_stream();
  InterlockedExchange(&cleanup_armed, TRUE);
  begin_unpack(extraction_dir);

  if (relaunched) {
    // A payload without entries would make the child start another child of
    // the same role, without end.
    if (!unpack_payload(UNPACK_FIRST_NAME_ONLY)) fatal_error("Error, attached data holds no application.");
    int count = 0;
    wchar_t** arguments = application_arguments(&count);
    return run_application_dll(count, arguments);
  }
  // An empty payload is not stopped here: the child it starts stops with the
  // message above, and that status comes back through the wait.
  unpack_payload(UNPACK_ALL_ENTRIES);
  return launch_child_and_wait();
}
