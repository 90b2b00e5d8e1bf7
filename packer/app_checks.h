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

// One line per DLL that the application or another DLL of the payload imports
// and that neither Windows nor the payload (where the loader looks) provides;
// `files` as collect_inputs returns them. Files named .dll that are not PE
// images are not the loader's business and are passed over.
std::vector<std::string> missing_dll_warnings(const std::vector<InputFile>& files);

// An input of the build and what to call it in a message ("the launcher (--launcher)").
struct NamedInput {
  std::filesystem::path path;
  std::string role;
};

// One line for every entry whose unpacked path would reach Windows' plain path
// limits under a typical %TEMP% (see long_unpacked_path), naming the longest
// name: one line, as a deep tree can hold thousands. Nothing when all fit.
std::optional<std::string> long_path_warning(const std::vector<InputFile>& files);

// Why `output` cannot be written: its folder is missing, it is a folder, or
// it is the same file as one of `inputs` (which packing would overwrite).
std::optional<Failure> output_problem(const std::filesystem::path& output, const std::vector<NamedInput>& inputs);

}  // namespace vorbel::pack
