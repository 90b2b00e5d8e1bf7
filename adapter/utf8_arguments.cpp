// Conversion of run_code's arguments for main; see utf8_arguments.h.
// Plain C++ over one allocation: the adapter is linked into application DLLs
// and must bring no C++ runtime needs of its own (no exceptions, no STL).
#include "adapter/utf8_arguments.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

namespace {

// Bytes of the UTF-8 form of `text`, its NUL included.
size_t utf8_size(const wchar_t* text) {
  if (wcslen(text) == 0) return 1;
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  return size > 0 ? static_cast<size_t>(size) : 1;
}

}  // namespace

char** utf8_arguments(int argc, wchar_t** argv) {
  if (argc < 0 || argv == nullptr) argc = 0;
  size_t pointers = (static_cast<size_t>(argc) + 1) * sizeof(char*);
  size_t total = pointers;
  for (int i = 0; i < argc; ++i) total += utf8_size(argv[i] != nullptr ? argv[i] : L"");

  char* block = static_cast<char*>(malloc(total));
  if (block == nullptr) return nullptr;
  char** result = reinterpret_cast<char**>(block);
  char* text = block + pointers;
  char* end = block + total;
  for (int i = 0; i < argc; ++i) {
    const wchar_t* wide = argv[i] != nullptr ? argv[i] : L"";
    size_t size = utf8_size(wide);
    result[i] = text;
    *text = '\0';
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, static_cast<int>(end - text), nullptr, nullptr);
    text += size;
  }
  result[argc] = nullptr;
  return result;
}
