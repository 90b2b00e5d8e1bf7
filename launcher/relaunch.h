// The re-launched role: recognising it, and starting the application DLL in
// this process.
#pragma once

#include <wchar.h>

#include "common/capacities.h"

// True when value names a live process that runs this same executable file;
// *parent_id is then the id it names. Every failure only means "not
// re-launched", except that the named process's executable file cannot be
// opened: the packed program was moved or renamed while it ran, and the
// process ends with a message.
bool check_parent_launcher(const wchar_t* value, unsigned long* parent_id);

// Opens the extraction directory's lock, sets VORBEL_ONEFILE_CONTENTS to the
// extraction directory, loads the application DLL (first_entry_path) and
// returns its run_code's result. Ends the process when the lock, the DLL or
// its entry point cannot be had.
int run_application_dll(int count, wchar_t** arguments);

// The same, with the lock already held (the cached mode holds its bundle's).
// When the DLL cannot be loaded, load_failed (when given) is told the error
// once it is reported, before the process ends.
int start_application_dll(int count, wchar_t** arguments, void (*load_failed)(unsigned long error) = nullptr);
