// Bounded writes into the launcher's fixed-capacity wide-text buffers.
// Every write into such a buffer goes through a TextCursor: it knows the
// buffer's capacity and the text's length, so appends cost what they append,
// and a text that does not fit ends the process through abort: it is never
// cut and never overruns. The try_ forms say false instead, for the few
// callers that treat a text that does not fit as a failure of their own.
#pragma once

#include <stddef.h>
#include <wchar.h>

struct TextCursor {
  wchar_t* text;    // the buffer; text[length] is always NUL
  size_t capacity;  // units in the buffer, NUL included
  size_t length;    // units of text before the NUL
};

// Length of the NUL-terminated text in buffer; aborts when no NUL lies within
// the first capacity units.
size_t bounded_length(const wchar_t* buffer, size_t capacity);

// A cursor over buffer, emptied.
TextCursor text_start(wchar_t* buffer, size_t capacity);
// A cursor over the text buffer holds, to be extended.
TextCursor text_resume(wchar_t* buffer, size_t capacity);

void text_append(TextCursor* cursor, const wchar_t* text);
void text_append_unit(TextCursor* cursor, wchar_t unit);
bool text_try_append(TextCursor* cursor, const wchar_t* text);
bool text_try_append_unit(TextCursor* cursor, wchar_t unit);
// Starts the text over as folder, a backslash and name; false when that does
// not fit (the text then holds what did).
bool text_try_join_path(TextCursor* cursor, const wchar_t* folder, const wchar_t* name);

// Ends the text at length (no more than it has).
void text_cut(TextCursor* cursor, size_t length);
// Cuts every unit equal to unit from the end of the text.
void text_trim_end(TextCursor* cursor, wchar_t unit);
// Undoes the latest cut that is still in force: the unit it replaced comes
// back, and the text runs to the next NUL again.
void text_rejoin(TextCursor* cursor, wchar_t unit);
// Removes count units from the front.
void text_drop_front(TextCursor* cursor, size_t count);
// Puts unit in place of the one at index, which the text holds.
void text_replace_unit(TextCursor* cursor, size_t index, wchar_t unit);

// Units a caller may hand to a system call that writes at the end
// (text + length), its NUL included; then text_extend with what it wrote,
// which must be NUL-terminated within that room.
size_t text_room(const TextCursor* cursor);
void text_extend(TextCursor* cursor, size_t written);
// The same for a call that wrote the whole buffer afresh, length units and a NUL.
void text_rewritten(TextCursor* cursor, size_t length);

// buffer = text, through a cursor.
void copy_wide(wchar_t* buffer, size_t capacity, const wchar_t* text);
