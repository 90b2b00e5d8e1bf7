// The launcher as it was before the directory lock and the sweep of
// leftovers, for the benchmark's A/B row: linked ahead of the launcher's
// libraries, these stand in for the lock's and the sweep's entry points, so
// that the rest of the launcher is the very same code. Never shipped.
#include "payload/directory_lock.h"
#include "shutdown/leftover_sweep.h"

void lock_extraction_dir() {}

void join_extraction_dir_lock() {}

void start_leftover_sweep(const SweepForm*) {}

void limit_leftover_sweep() {}

void finish_leftover_sweep() {}

bool cut_leftover_sweep(DWORD) { return false; }

int sweep_leftovers(const SweepForm*) { return 0; }

// The cached mode's look at a first start's working directory: every one
// counts as in use, so that nothing of the sweep's file is linked in.
bool run_may_live(uint64_t, uint64_t) { return true; }

// The cached mode's own uses of the lock; that mode is not measured with this build.
bool try_hold_extraction_dir_lock() { return true; }

void stamp_extraction_dir_lock(bool) {}

void release_extraction_dir_lock() {}
