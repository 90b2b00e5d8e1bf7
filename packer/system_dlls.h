// Which DLL names belong to Windows itself, for the build tool's warning about
// DLLs an application imports but does not carry. One table, one place; it
// says nothing about whether a particular Windows version has the DLL.
#pragma once

#include <string_view>

namespace vorbel::pack {

// True for a DLL that every supported Windows (10 and later) provides, and for
// the api-ms-win-* and ext-ms-* API sets; letter case is ignored.
bool is_system_dll(std::string_view name);

}  // namespace vorbel::pack
