// Bounded writes into the launcher's fixed-capacity wide-text buffers.
// Every copy into such a buffer goes through these helpers: a text that does
// not fit ends the process through abort; it is never cut and never overruns.
#pragma once

#include <stddef.h>
#include <wchar.h>

// Length of the NUL-terminated text in buffer; aborts when no NUL lies within
// the first capacity units.
size_t bounded_length(const wchar_t* buffer, size_t capacity);

// buffer = text.
void copy_wide(wchar_t* buffer, size_t capacity, const wchar_t* text);

// buffer += text; the current end is found by scanning from the start.
void append_wide(wchar_t* buffer, size_t capacity, const wchar_t* text);

// buffer += one unit.
void append_wide_unit(wchar_t* buffer, size_t capacity, wchar_t unit);
