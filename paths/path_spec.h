// Expansion of directory specs: templates such as "{TEMP}\onefile_{PID}_{TIME}"
// whose {NAME} references stand for values known only at run time.
// Writes only through bounded appends; the output is terminated at all times.
#pragma once

#include <stddef.h>
#include <wchar.h>

// Expands spec into output (capacity units, NUL included, at least 1). True
// when the whole spec was expanded; false for a literal that does not fit, an
// unknown name, a shell folder that cannot be had, or a failed nested
// expansion. A value that does not fit ends the process through abort.
// {PROGRAM}, {PROGRAM_BASE} and {PROGRAM_DIR} come from program, or from
// argv[0] (whatever the caller wrote) when it is null.
bool expand_path_spec(wchar_t* output, const wchar_t* spec, size_t capacity, const wchar_t* program = nullptr);

// The id {PID} yields: the extracting instance's, which the re-launched one
// takes from VORBEL_ONEFILE_PARENT once, when it decides its role. 0 (before
// that) yields this process's own id.
extern unsigned long spec_process_id;
