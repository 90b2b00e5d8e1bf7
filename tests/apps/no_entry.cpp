// A well-formed application DLL that lacks the run_code export, for the
// launcher's "entry point not found" path.
extern "C" __declspec(dllexport) int not_run_code(int, wchar_t**) {
  return 0;
}
