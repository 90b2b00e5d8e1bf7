// The sweep of earlier runs' leftovers: extraction directories beside this
// run's own that no process uses any more, removed on a thread of its own
// while the child runs. Never touches a directory a running program may use,
// another user's, a link, or a name of another form; bounded per run.
#pragma once

#include <stdint.h>
#include <windows.h>

// Directories one run removes at most: a run on a TEMP full of leftovers
// spends a bounded effort, and a short program still clears a few.
constexpr int SWEEP_DIRECTORIES_PER_RUN = 8;

// How long the sweep may go on once the application has ended, and so the
// most it delays the run's end. Under Wine on a 2-core machine, eight
// leftovers of the sample application took 62 ms to check and remove (180 ms
// with the machine loaded), one of the 3,233-file tree 1.0 s (7 s): a short
// program still clears its share of small leftovers, and a large one is cut
// short (its lock stays, so a later run goes on with it).
constexpr DWORD SWEEP_AFTER_END_MS = 250;

// A directory without a lock file is left alone until it is this old (by the
// newest of its {TIME} and its own creation and last-write times), unless it
// is empty. The launcher makes the lock before anything is written, so a
// directory without one that holds files was made by a launcher from before
// the lock, whose application may still run after its launcher was killed,
// and nothing but age tells.
constexpr uint64_t SWEEP_LOCKLESS_AGE_100NS = 7ull * 24 * 3600 * 10000000;

// Bundles of the cached mode's application folder kept though no process
// uses them: besides the one a run uses, the KEPT_RECENT_BUNDLES others used
// last, when that was within KEPT_BUNDLE_AGE_100NS, by the time each start
// stamps on the lock it holds. Two versions run in turn, or two programs
// packed under one name, need one kept to unpack each once; two leave room
// for an update while both are run, and bound the folder to three bundles
// that nothing uses. A month keeps a program run now and then; a bundle
// unused for longer gives its disk back for one unpack at its next start.
constexpr int KEPT_RECENT_BUNDLES = 2;
constexpr uint64_t KEPT_BUNDLE_AGE_100NS = 30ull * 24 * 3600 * 10000000;

// What a run needs to recognise its own kind of directory: the extraction
// directory spec (its last component gives the names' form, with {PID} and
// {TIME} as digits) and the lock's file name. With bundles set (the cached
// mode's application directory), the kept bundles beside this run's own are
// taken on too: names of 16 lower-case hex digits, maybe with "." and a
// number after them; they carry no process, so their lock alone decides,
// and those recently used (above) are kept.
struct SweepForm {
  const wchar_t* spec;
  const wchar_t* lock_name;
  bool bundles;
};

// Whether the process pid may be the run that made a directory at time:
// running, and started no later than that. What cannot be read counts as yes.
bool run_may_live(uint64_t pid, uint64_t time);

// Removes at most SWEEP_DIRECTORIES_PER_RUN siblings of extraction_dir whose
// name has the spec's form and that no process uses: the user's own, no
// reparse point, the process {PID} names not running with a start time no
// later than {TIME}, and its lock opening exclusively (or no lock, and empty
// or older than the bound); with bundles, the bundles that no process uses
// but the recently used ones kept (a bundle without its record, or stamped
// damaged, is never one of them). Returns how many it took on. Stops early once
// limit_leftover_sweep's time is up. Nothing when the spec's last component
// holds another reference than {PID} and {TIME}, or not both.
int sweep_leftovers(const SweepForm* form);

// Looks beside this run's directory once and, when a directory of the form
// lies there, starts sweep_leftovers on a thread of its own (form must
// outlive it); nothing otherwise, or when the thread cannot be made.
void start_leftover_sweep(const SweepForm* form);

// The application has ended: the sweep may go on SWEEP_AFTER_END_MS more.
void limit_leftover_sweep();

// Waits for the sweep until that time is up, no longer. Main thread only.
void finish_leftover_sweep();

// How long a thread cut short is waited for: it stops between two entries of
// its walk, one file call away, so this is only ever reached by a call that
// the system holds up (a file on a slow or gone network volume).
constexpr DWORD SWEEP_CUT_WAIT_MS = 100;

// The end of a run that does not wait for a removal: waits for the sweep
// wait_ms at most and returns false once it has ended (or never started).
// When it still has work then, cuts it short at once (the removal under way
// keeps its lock), waits for its thread SWEEP_CUT_WAIT_MS at most, and
// returns true. Main thread only; instead of limit_ and finish_leftover_sweep.
bool cut_leftover_sweep(DWORD wait_ms);
