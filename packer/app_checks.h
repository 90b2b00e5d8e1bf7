// Checks made at pack time that the launcher could otherwise only make when
// the packed program runs: that the application is an x86-64 DLL exporting
// run_code, which imported DLLs neither the payload nor Windows provides, and
// which entries would unpack to paths too long for plain Windows paths.
// Reads files; writes nothing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "packer/input_tree.h"
#include "packer/result.h"

namespace vorbel::pack {

// Refuses what the launcher would fail to load or call. Failures name no file.
Status check_application(const std::vector<uint8_t>& bytes);

// A DLL that the application or another DLL of the payload imports and that
// neither Windows nor the payload (where the loader looks) provides.
struct MissingDll {
  std::filesystem::path importer;  // the importing file, as given
  std::string dll;                 // as the import table names it
  std::string held_as;             // the payload entry that holds it where Windows does not look; empty: none
};

// Every such DLL, importer by importer in payload order; `files` as
// collect_inputs returns them. Files named .dll that are not PE images are not
// the loader's business and are passed over.
std::vector<MissingDll> missing_dlls(const std::vector<InputFile>& files);

// The imports of the DLL at `path` that are not Windows' own; nothing when it
// cannot be read or is no PE image.
std::vector<std::string> non_system_imports(const std::filesystem::path& path);

// The first x86-64 DLL of that name (letter case ignored) in `folders`, in order.
std::optional<std::filesystem::path> find_dll(const std::vector<std::filesystem::path>& folders,
                                              const std::string& dll);

// The DLLs to add at the top of the payload from `search_folders`: every DLL
// that missing_dlls finds nowhere and a folder holds, then in turn those that
// the added ones import, until nothing more is found. `adds` come back with
// them appended, so that collect_inputs checks and orders them like the rest.
Result<std::vector<AddRequest>> with_search_path_dlls(const std::filesystem::path& app, std::vector<AddRequest> adds,
                                                      const std::vector<std::filesystem::path>& search_folders);

// One line per missing DLL. `toolchain_folders` are looked in for DLLs that
// nothing provides: one that holds the DLL is named (it is one --search-path
// away), and the imports of the DLL found there are followed in turn, so that
// one run names a whole missing chain.
std::vector<std::string> missing_dll_warnings(const std::vector<InputFile>& files,
                                              const std::vector<std::filesystem::path>& toolchain_folders = {});

// An input of the build and what to call it in a message ("the launcher (--launcher)").
struct NamedInput {
  std::filesystem::path path;
  std::string role;
};

// One line for every entry whose unpacked path would reach Windows' plain path
// limits under a typical %TEMP% (see long_unpacked_path), naming the longest
// name: one line, as a deep tree can hold thousands. Nothing when all fit.
std::optional<std::string> long_path_warning(const std::vector<InputFile>& files);

// Why `output` cannot be written: its name is a Windows device name (with
// any extension), its folder is missing, it is a folder, or it is the same
// file as one of `inputs` (which packing would overwrite).
std::optional<Failure> output_problem(const std::filesystem::path& output, const std::vector<NamedInput>& inputs);

}  // namespace vorbel::pack
