// The launcher's report shown in one message box as well as written, for a
// GUI program packed with --error-dialog. Never on a window station nobody
// sees (a service, a scheduled task): nothing may wait there on a dialog.
#pragma once

#include <stdarg.h>
#include <stddef.h>

// Set from the pack-time settings before anything can fail; off by default.
extern bool error_dialog_enabled;

// After a line has been written: the same line kept for the dialog, when
// enabled. A line longer than the dialog takes is cut there with "...", and
// the dialog keeps room for the few lines a failure reports.
void offer_error_dialog(const char* format, va_list values);

// The same, but put ahead of the lines already kept: it names the cause of
// the failure they report.
void offer_error_dialog_cause(const char* format, va_list values);

// Just before the process ends: the lines kept, in one box titled with the
// program's product name, when there are any and the window station is
// visible. user32 is loaded only here, and only then.
void show_error_dialog();

// Whether this process's window station is interactive (WSF_VISIBLE); false
// when that cannot be told.
bool interactive_window_station();

// The dialog's title: the ProductName of this executable's version resource,
// else its file name without ".exe", cut to fit capacity (units, NUL
// included); empty when neither can be read.
void error_dialog_title(wchar_t* title, size_t capacity);
