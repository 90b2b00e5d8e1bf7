// The sample application's second DLL. The application imports it, so it
// only loads when the extraction directory is on the DLL search path.
#pragma once

#ifdef SAMPLE_HELPER_BUILD
#define SAMPLE_HELPER_API extern "C" __declspec(dllexport)
#else
#define SAMPLE_HELPER_API extern "C" __declspec(dllimport)
#endif

// A fixed greeting, for the application to print.
SAMPLE_HELPER_API const wchar_t* sample_greeting();

// 64-bit FNV-1a of a file's bytes; false when it cannot be read.
SAMPLE_HELPER_API bool sample_file_hash(const wchar_t* path, unsigned long long* hash, unsigned long long* size);
