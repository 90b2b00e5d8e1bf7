// The detached sweeper: a copy of the program that goes on with a cached
// start's removal once the start has ended, so that no start's exit waits
// for one. It never runs the application, never unpacks, prints nothing and
// starts nothing.
#pragma once

#include <windows.h>

// The variable that makes a process the sweeper, set only in the
// environment the start hands the sweeper: "<start's process id>:<the
// bundle folder's name the start ran from>".
constexpr char SWEEPER_VARIABLE[] = "VORBEL_ONEFILE_SWEEPER";

// How long the sweeper waits for the start that made it to end: that end
// frees what the start's sweep held and its given-up working directory,
// and it comes right after the sweeper's creation. Past it (an application
// whose unload hangs the start) the sweeper goes on with what it can open.
constexpr DWORD SWEEPER_WAIT_FOR_START_MS = 10000;

// Starts the sweeper for the bundle this start runs from (extraction_dir):
// no handle inherited, out of the console and its process group, at low
// priority, with this environment less the launcher's own variables. Nothing
// when the start does not run from a bundle folder, or the sweeper cannot be
// started: a later start goes on with the removal then.
void start_detached_sweeper();

// Whether this process is a sweeper. Once the variable is read it is removed
// from the environment, whatever it holds. A value not of the form above
// makes no sweeper: the program runs as always. One of the form makes a
// sweeper, which does nothing unless the program is packed for the cached
// mode and the name is one a start of this payload's id gives its bundle
// (a program replaced by another version while its start ran must not run
// the application, hidden). The sweeper finds the application folder from
// its own settings record and root as a start does (the variable names no
// path), waits for the start to end, then sweeps that folder as the start's
// sweep would, keeping the named bundle, with no time limit. True when it was
// the sweeper: the process then ends with status 0.
bool run_detached_sweeper();
