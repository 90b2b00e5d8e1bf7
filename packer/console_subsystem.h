// Turns a packed launcher image into a console-subsystem program (--console):
// the subsystem field of the optional header and the checksum over the image.
// Byte work on an image pe_resources has already written; it changes nothing else.
#pragma once

#include <cstdint>
#include <vector>

#include "packer/result.h"

namespace vorbel::pack {

inline constexpr uint16_t kSubsystemGui = 2;      // IMAGE_SUBSYSTEM_WINDOWS_GUI
inline constexpr uint16_t kSubsystemConsole = 3;  // IMAGE_SUBSYSTEM_WINDOWS_CUI

// Sets the subsystem of `file` (a PE image) to `subsystem` and recomputes its
// checksum. Failures name no file.
Status set_subsystem(std::vector<uint8_t>& file, uint16_t subsystem);

// The subsystem field of `file`, or a failure when it is no PE image.
Result<uint16_t> subsystem_of(const std::vector<uint8_t>& file);

}  // namespace vorbel::pack
