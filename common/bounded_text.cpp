// Bounded writes into fixed wide-text buffers; see bounded_text.h.
// Overflow is a stop, never a cut: a shortened path would name another file.
#include "common/bounded_text.h"

#include <stdlib.h>

size_t bounded_length(const wchar_t* buffer, size_t capacity) {
  for (size_t i = 0; i < capacity; ++i) {
    if (buffer[i] == L'\0') return i;
  }
  abort();
}

void copy_wide(wchar_t* buffer, size_t capacity, const wchar_t* text) {
  if (capacity == 0) abort();
  buffer[0] = L'\0';
  append_wide(buffer, capacity, text);
}

void append_wide(wchar_t* buffer, size_t capacity, const wchar_t* text) {
  size_t end = bounded_length(buffer, capacity);
  size_t length = wcslen(text);
  if (length >= capacity - end) abort();
  wmemcpy(buffer + end, text, length + 1);
}

void append_wide_unit(wchar_t* buffer, size_t capacity, wchar_t unit) {
  size_t end = bounded_length(buffer, capacity);
  if (capacity - end < 2) abort();
  buffer[end] = unit;
  buffer[end + 1] = L'\0';
}
