// Small PE images built in memory, for the PE rewriter's tests and the fuzz
// seeds: a .text section, the resource section, and optionally relocations, an
// immovable section after them, an overlay, a certificate table and symbols.
// Test support only; the build tool itself never makes images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "packer/pe_resources.h"

namespace vorbel::pe {

// Where the synthetic images put their headers (the optional header offsets
// hold for any PE image).
inline constexpr size_t kLfanew = 0x80, kFileHeader = 0x84, kOpt = 0x98;
inline constexpr size_t kSizeOfImage = 56, kCheckSum = 64;
inline const std::vector<uint8_t> kRelocBlock = {0x00, 0x10, 0, 0, 12, 0, 0, 0, 0x00, 0xa0, 0, 0};

struct SyntheticImage {
  std::optional<ResourceTree> resources;  // no resource section without it
  std::vector<uint8_t> raw_resources;     // used instead of `resources` when not empty
  bool pe32 = false;
  bool reloc = true;        // .reloc follows .rsrc
  bool data_after = false;  // an import section follows .rsrc: it cannot move
  bool symbols = false;     // PointerToSymbolTable points at the overlay
  std::vector<uint8_t> overlay;
  std::vector<uint8_t> certificate;
  // Linking facts, in a section of their own after .text when any is given.
  bool dll = false;                        // IMAGE_FILE_DLL
  std::vector<std::string> exports;        // export names
  std::vector<std::string> imports;        // DLLs of the import table
  std::vector<std::string> delay_imports;  // DLLs of the delay-import table
};

// The image's bytes, with a correct checksum.
std::vector<uint8_t> make_synthetic_image(const SyntheticImage& shape);

// An x86-64 DLL exporting `exports` and importing `imports`, as a string of bytes for a test file.
std::string synthetic_dll(const std::vector<std::string>& exports = {"run_code"},
                          const std::vector<std::string>& imports = {"KERNEL32.dll"});

}  // namespace vorbel::pe
