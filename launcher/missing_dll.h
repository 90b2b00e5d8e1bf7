// Names the DLL whose absence kept the application's DLL from loading, from the
// import tables in the files alone: nothing is loaded, so no DLL's start-up
// code runs. Writes one line on standard error, the first of the error dialog's;
// never ends the process.
#pragma once

// After a load of application_path failed with ERROR_MOD_NOT_FOUND: the first
// DLL, in the order the imports are read (the application's, then those of
// the payload's DLLs it leads to, breadth first), that is found neither in the
// application's folder nor in the system directory, and the DLL that imports
// it; when the payload put a file of that name there, the line says it was
// unpacked and removed since. Nothing when every one is found.
void report_missing_dll(const wchar_t* application_path);
