// What a PE image says about linking: the names it exports and the DLLs it
// imports (ordinary and delay-loaded). Reads the bytes only, trusts none of
// them, and never throws on bad input (errors come back as values).
#pragma once

#include <string>
#include <vector>

#include "packer/pe_resources.h"

namespace vorbel::pe {

inline constexpr uint16_t kFileDll = 0x2000;  // IMAGE_FILE_DLL

// The names of the export table, in table order; empty when there is none.
Result<std::vector<std::string>> export_names(const Image& image);

// Every DLL named by the import and delay-import tables, in table order,
// without repeats (compared ignoring ASCII case).
Result<std::vector<std::string>> imported_dlls(const Image& image);

}  // namespace vorbel::pe
