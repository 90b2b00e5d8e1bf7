// The DLL names of a PE image's import and delay-import tables, read from the
// file through bounded reads: shared by the launcher (which must not load a DLL
// to learn what it needs) and the build tool. Portable, no allocation; the
// file's bytes are trusted for nothing, and nothing is read outside a section.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Where the image's bytes come from.
struct PeFile {
  // Fills buffer with the size bytes at offset; false when the file has fewer.
  bool (*read)(void* context, uint64_t offset, void* buffer, size_t size);
  void* context;
};

enum PeImportWalkEnd {
  PE_IMPORTS_WALKED,   // every name was handed on
  PE_IMPORTS_STOPPED,  // take_name returned false
  PE_IMPORTS_NOT_PE,   // no PE32 or PE32+ image
  PE_IMPORTS_DAMAGED,  // a table or a name lies outside the sections, or has no end
};

// Hands take_name each DLL name of the import table, then of the delay-import
// table, in table order (repeats included), NUL-terminated; a name holds fewer
// than PE_IMPORT_NAME_CAPACITY bytes. False from take_name stops the walk.
PeImportWalkEnd walk_pe_imports(const PeFile* file, bool (*take_name)(void* context, const char* name), void* context);
