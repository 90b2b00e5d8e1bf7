// Reads one string of a version resource (VS_VERSIONINFO) as it lies in
// memory, for the error dialog's title. Portable and allocation-free; it
// trusts no length in the block and never reads past its size.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The value of the first string named key (ASCII) in any table of the
// block's StringFileInfo: *text points at its UTF-16LE units inside the
// block, *units counts them up to their NUL or the node's end. False when
// the block is no version resource or holds no such string.
bool find_version_string(const uint8_t* block, size_t size, const char* key, const uint8_t** text, size_t* units);
