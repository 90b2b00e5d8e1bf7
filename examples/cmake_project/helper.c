/* A DLL of the example project that hello loads at run time from the folder
 * it was unpacked to: packed with ADD $<TARGET_FILE:helper>, so that a change
 * here repacks hello.exe although hello.dll does not link it. */
__declspec(dllexport) const char* helper_text(void) { return "helper: packed beside hello.dll"; }
