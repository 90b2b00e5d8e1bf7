// The subsystem switch of --console; see console_subsystem.h.
//
// Why a field in the packed copy and not a second, console build of the
// launcher: the loader reads only this field to decide whether the process
// gets (or shares) a console and whether cmd.exe waits for it; the launcher's
// code is the same either way. The one thing the entry routine decides besides
// it, msvcrt's application type (message boxes for abort and assert in a GUI
// program), the launcher already overrides with _set_error_mode(_OUT_TO_STDERR)
// at its start. So one launcher image serves both kinds, and every launcher a
// user packs with (their own rebuilt one, one with their icon and version)
// works with --console too, without a second image to build, ship and test.
#include "packer/console_subsystem.h"

#include "packer/pe_resources.h"

namespace vorbel::pack {
namespace {

// Offsets inside the optional header, the same for PE32 and PE32+.
constexpr size_t kCheckSumOffset = 64;
constexpr size_t kSubsystemOffset = 68;

Result<size_t> optional_header_of(const std::vector<uint8_t>& file) {
  auto image = pe::parse_image(file);
  if (!image.ok()) return Failure{"", "is not a PE image this tool can read: " + image.error()};
  size_t offset = image->optional_header_offset;
  if (offset + kSubsystemOffset + 2 > file.size())
    return Failure{"", "has an optional header too short for a subsystem"};
  return offset;
}

}  // namespace

Status set_subsystem(std::vector<uint8_t>& file, uint16_t subsystem) {
  auto offset = optional_header_of(file);
  if (!offset.ok()) return offset.failure();
  pe::put_u16(file, offset.value() + kSubsystemOffset, subsystem);
  const size_t checksum_at = offset.value() + kCheckSumOffset;
  pe::put_u32(file, checksum_at, pe::pe_checksum(file, checksum_at));
  return done();
}

Result<uint16_t> subsystem_of(const std::vector<uint8_t>& file) {
  auto offset = optional_header_of(file);
  if (!offset.ok()) return offset.failure();
  return pe::get_u16(file, offset.value() + kSubsystemOffset);
}

}  // namespace vorbel::pack
