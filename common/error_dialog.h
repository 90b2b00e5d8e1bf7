// The launcher's error shown in a message box as well as written, for a GUI
// program packed with --error-dialog. Never on a window station nobody sees
// (a service, a scheduled task): nothing may wait there on a dialog.
#pragma once

#include <stdarg.h>

// Set from the pack-time settings before anything can fail; off by default.
extern bool error_dialog_enabled;

// After the line has been written: the same text in a message box, when
// enabled and the process's window station is visible. user32 is loaded
// only here, and only then.
void offer_error_dialog(const char* format, va_list values);

// Whether this process's window station is interactive (WSF_VISIBLE); false
// when that cannot be told.
bool interactive_window_station();
