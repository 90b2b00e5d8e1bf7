// Splitting a command line into arguments exactly as CommandLineToArgvW does,
// so that the extracting instance need not load shell32 for it.
// Portable and heap-free: no platform header, no allocation; the host builds it too.
#pragma once

#include <stddef.h>
#include <wchar.h>

// A UTF-16 unit: wchar_t where it is 16 bits (Windows), so that the launcher
// hands over its own text without a cast; char16_t elsewhere.
#if WCHAR_MAX == 0xFFFF
typedef wchar_t CommandLineUnit;
#else
typedef char16_t CommandLineUnit;
#endif

// Where the arguments go, one unit at a time: the splitter keeps no buffer,
// so the caller bounds its own.
struct ArgumentSink {
  void* context;
  // The next unit of the current argument.
  void (*unit)(void* context, CommandLineUnit unit);
  // The current argument is complete (it may be empty).
  void (*end)(void* context);
};

// Hands each argument of line to sink in order and returns how many there
// were. An empty line gives program_path as its only argument, as
// CommandLineToArgvW gives the module's path.
size_t split_command_line(const CommandLineUnit* line, const CommandLineUnit* program_path, const ArgumentSink* sink);
