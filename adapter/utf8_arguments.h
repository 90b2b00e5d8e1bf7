// The wide argument vector of run_code as the narrow, UTF-8 one a program's
// main expects. Windows only (WideCharToMultiByte); allocates once and never
// frees, because a program may keep pointers into argv until it ends.
#pragma once

#include <wchar.h>

// argv[0..argc-1] in UTF-8 and argv[argc] == nullptr, in one block; unpaired
// surrogates become U+FFFD. nullptr only when memory runs out.
char** utf8_arguments(int argc, wchar_t** argv);
