// The capacity of every fixed text buffer of the launcher, in UTF-16 units
// with the terminating NUL, in one place. Entry names (ENTRY_NAME_CAPACITY)
// are bounded by the payload format itself, in payload/payload_format.h.
#pragma once

#include <stddef.h>

// The extraction directory, every path built below it, and the launcher's
// own module path as the child's image.
constexpr size_t PATH_CAPACITY = 4096;
// As large as the target path it is copied from, so that the copy always fits.
constexpr size_t FIRST_ENTRY_PATH_CAPACITY = PATH_CAPACITY;
// The cached forms of the launcher's own path and the directory that holds it.
constexpr size_t EXE_PATH_CAPACITY = 4097;
// The parent's image path is compared with the launcher's own: a launcher
// path that fits its buffer must fit here too.
constexpr size_t PARENT_IMAGE_PATH_CAPACITY = EXE_PATH_CAPACITY;
// The longest path above with room for "\\?\UNC\" in place of its "\\".
constexpr size_t LONG_PATH_CAPACITY = PATH_CAPACITY + 6;
// The child's command line: the longest Windows takes.
constexpr size_t COMMAND_LINE_CAPACITY = 32768;
// One argument of the launcher's own command line, split to be handed on. A
// process's command line holds at most 32767 units (its length is kept in
// bytes in 16 bits); an argument after the first (which is replaced, not kept)
// has at least one unit before it and is no longer than what it was read
// from, so 32766 units and its NUL.
constexpr size_t SPLIT_ARGUMENT_CAPACITY = 32767;
// An environment variable's value: the longest Windows keeps.
constexpr size_t ENV_VALUE_CAPACITY = 32768;
// A widened environment variable name.
constexpr size_t VARIABLE_NAME_CAPACITY = 40;
// A process id in decimal, and the time stamp of {TIME}.
constexpr size_t PROCESS_ID_TEXT_CAPACITY = 128;
constexpr size_t TIME_TEXT_CAPACITY = 1024;
// A reference name inside a directory spec's braces.
constexpr size_t SPEC_NAME_CAPACITY = 1024;
// A DLL name read from an import table, NUL included: no file name component
// on Windows is longer than 255 units, so a longer name is no DLL's.
constexpr size_t PE_IMPORT_NAME_CAPACITY = 256;
// The payload's DLLs whose imports are read when the application's DLL will
// not load: the application and the DLLs of the payload it leads to.
constexpr size_t MISSING_DLL_SEARCH_CAPACITY = 64;
// Closing unpacked files (payload/closing_pool.cpp). Threads start only as
// the queue of handed-on files outgrows those free, so fast closes use a few.
// The bound hides a 10 ms close (a scanner's worst) at Wine's writing pace:
// tree (a) of `make bench`, 3,233 files, reached run_code with 10 ms closes in
// about 1.6 s with 32 or 48 threads, 2.5 s with 24, 3.2 s with 16, 4.7 s with
// 8 and 37 s closing each in turn (1.6 s with 32 at 3 ms). The queue takes up
// bursts of small files; each thread's stack holds a close and nothing else.
constexpr int CLOSING_THREADS_MAX = 32;
constexpr size_t CLOSING_QUEUE_CAPACITY = 128;
constexpr size_t CLOSING_THREAD_STACK = 64 * 1024;
// Until one close on the writer's thread takes this long (a scanner's 1 ms
// and up, or a flush to the disk), the writer closes each file itself: a
// close without a scanner takes some 0.05 ms under Wine, and a closing
// thread's start about 1 ms: starting them took 2.5 ms of the 6.4 ms the
// sample's start spent before its child's (pinned to one CPU).
constexpr unsigned SLOW_CLOSE_MICROSECONDS = 1000;
// The error dialog: its text in bytes of the ANSI code page as written (and
// as many units once widened), one line of it, and its title. A failure
// reports at most three lines, each cut to a line's capacity, so all fit.
constexpr size_t ERROR_DIALOG_LINE_CAPACITY = 2048;
constexpr size_t ERROR_DIALOG_TEXT_CAPACITY = 4 * ERROR_DIALOG_LINE_CAPACITY;
constexpr size_t ERROR_DIALOG_TITLE_CAPACITY = 256;
