// The re-launched role: recognising it, and starting the application DLL in
// this process.
#pragma once

#include <wchar.h>

constexpr size_t PARENT_IMAGE_PATH_CAPACITY = 2048;

// True when value names a live process that runs this same executable file.
// Every failure only means "not re-launched".
bool check_parent_launcher(const wchar_t* value);

// Loads the application DLL (first_entry_path) and returns its run_code's
// result. Ends the process when the DLL or its entry point cannot be had.
int run_application_dll(int count, wchar_t** arguments);
