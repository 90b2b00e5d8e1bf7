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

TextCursor text_start(wchar_t* buffer, size_t capacity) {
  if (capacity == 0) abort();
  buffer[0] = L'\0';
  return TextCursor{buffer, capacity, 0};
}

TextCursor text_resume(wchar_t* buffer, size_t capacity) {
  return TextCursor{buffer, capacity, bounded_length(buffer, capacity)};
}

bool text_try_append(TextCursor* cursor, const wchar_t* text) {
  size_t length = wcslen(text);
  if (length >= cursor->capacity - cursor->length) return false;
  wmemcpy(cursor->text + cursor->length, text, length + 1);
  cursor->length += length;
  return true;
}

bool text_try_append_unit(TextCursor* cursor, wchar_t unit) {
  if (cursor->capacity - cursor->length < 2) return false;
  cursor->text[cursor->length++] = unit;
  cursor->text[cursor->length] = L'\0';
  return true;
}

void text_append(TextCursor* cursor, const wchar_t* text) {
  if (!text_try_append(cursor, text)) abort();
}

bool text_try_join_path(TextCursor* cursor, const wchar_t* folder, const wchar_t* name) {
  text_cut(cursor, 0);
  return text_try_append(cursor, folder) && text_try_append_unit(cursor, L'\\') && text_try_append(cursor, name);
}

void text_append_unit(TextCursor* cursor, wchar_t unit) {
  if (!text_try_append_unit(cursor, unit)) abort();
}

void text_cut(TextCursor* cursor, size_t length) {
  if (length > cursor->length) abort();
  cursor->text[length] = L'\0';
  cursor->length = length;
}

void text_trim_end(TextCursor* cursor, wchar_t unit) {
  size_t length = cursor->length;
  while (length > 0 && cursor->text[length - 1] == unit) --length;
  text_cut(cursor, length);
}

void text_rejoin(TextCursor* cursor, wchar_t unit) {
  cursor->text[cursor->length] = unit;
  cursor->length += bounded_length(cursor->text + cursor->length, cursor->capacity - cursor->length);
}

void text_drop_front(TextCursor* cursor, size_t count) {
  if (count > cursor->length) abort();
  wmemmove(cursor->text, cursor->text + count, cursor->length - count + 1);
  cursor->length -= count;
}

void text_replace_unit(TextCursor* cursor, size_t index, wchar_t unit) {
  if (index >= cursor->length || unit == L'\0') abort();
  cursor->text[index] = unit;
}

size_t text_room(const TextCursor* cursor) { return cursor->capacity - cursor->length; }

void text_extend(TextCursor* cursor, size_t written) {
  if (written >= text_room(cursor) || cursor->text[cursor->length + written] != L'\0') abort();
  cursor->length += written;
}

void text_rewritten(TextCursor* cursor, size_t length) {
  if (length >= cursor->capacity || cursor->text[length] != L'\0') abort();
  cursor->length = length;
}

void copy_wide(wchar_t* buffer, size_t capacity, const wchar_t* text) {
  TextCursor cursor = text_start(buffer, capacity);
  text_append(&cursor, text);
}
