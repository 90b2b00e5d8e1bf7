// Storage of the run's process-wide state; see run_state.h.
#include "common/run_state.h"

wchar_t extraction_dir[PATH_CAPACITY + 1];
volatile LONG cleanup_armed;
HANDLE volatile child_process;
volatile LONG child_ended;
DWORD child_end_status;
volatile LONG run_end_taken;
wchar_t first_entry_path[FIRST_ENTRY_PATH_CAPACITY];
HANDLE volatile directory_lock;
wchar_t directory_lock_path[PATH_CAPACITY];
