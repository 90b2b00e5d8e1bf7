// An application DLL as a new user first builds one: C++ with GCC's runtime
// DLLs (no -static-libgcc -static-libstdc++). Built twice, once with run_code
// under its C++ name (no extern "C"), for vorbel-pack's pack-time checks.
// Exits with the number in its first argument, read by libstdc++.
#include <string>

#ifdef VORBEL_CPP_NAME
__declspec(dllexport) int run_code(int argc, wchar_t** argv)
#else
extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv)
#endif
{
  return argc > 1 ? std::stoi(std::wstring(argv[1])) : 0;
}
