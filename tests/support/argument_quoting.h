// Quoting of command-line arguments by the usual Windows rules, for the tests
// and for the probe application that starts copies of the launcher: it uses
// only the standard library, so an application DLL can link it.
#pragma once

#include <string>

// Quotes one argument for a command line (the usual Windows rules).
std::wstring quote_argument(const std::wstring& argument);
