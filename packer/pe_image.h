// A Windows PE image as the packer sees it: headers, sections and data
// directories, and the writing of a copy with a new resource section (layout,
// checksum, certificate table). The resource tree is pe_resources.h's. Standard
// C++ only: no OS headers, no assumption about host byte order, input never
// trusted, and no exception or abort crosses this API (errors come back as values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "packer/result.h"

namespace vorbel::pe {

// ---- results ---------------------------------------------------------------------

struct Error {
  std::string message;     // one line, without the file name (the caller adds it)
  bool too_large = false;  // the image would pass kMaxImageBytes: no fault of the input image
};

template <class T>
class [[nodiscard]] Result : public Expected<T, Error> {
 public:
  using Expected<T, Error>::Expected;
  const std::string& error() const { return this->error_value().message; }
  bool too_large() const { return this->error_value().too_large; }
};

// ---- little-endian access (bounds are the caller's business) ----------------------

inline uint16_t get_u16(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
inline uint32_t get_u32(std::span<const uint8_t> b, size_t at) {
  return get_u16(b, at) | (static_cast<uint32_t>(get_u16(b, at + 2)) << 16);
}
inline uint64_t get_u64(std::span<const uint8_t> b, size_t at) {
  return get_u32(b, at) | (static_cast<uint64_t>(get_u32(b, at + 4)) << 32);
}
inline void put_u16(std::span<uint8_t> b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void put_u32(std::span<uint8_t> b, size_t at, uint32_t v) {
  put_u16(b, at, static_cast<uint16_t>(v));
  put_u16(b, at + 2, static_cast<uint16_t>(v >> 16));
}

// ---- on-disk structures that callers see ------------------------------------------
// They document the file layout; the code reads and writes them field by field with
// the helpers above, never by copying memory, so host layout does not matter.

struct DataDirectory {
  uint32_t virtual_address = 0;  // RVA (a file offset for the certificate table)
  uint32_t size = 0;             // bytes
};
static_assert(sizeof(DataDirectory) == 8);

struct SectionHeader {
  uint8_t name[8] = {};                 // NUL-padded; "/nnn" means a COFF string-table name
  uint32_t virtual_size = 0;            // bytes used in memory (0: use size_of_raw_data)
  uint32_t virtual_address = 0;         // RVA of the first byte
  uint32_t size_of_raw_data = 0;        // bytes in the file, multiple of FileAlignment
  uint32_t pointer_to_raw_data = 0;     // file offset, 0 for uninitialised data
  uint32_t pointer_to_relocations = 0;  // object files only
  uint32_t pointer_to_linenumbers = 0;  // deprecated COFF line numbers
  uint16_t number_of_relocations = 0;   // object files only
  uint16_t number_of_linenumbers = 0;   // deprecated
  uint32_t characteristics = 0;         // IMAGE_SCN_* flags
};
static_assert(sizeof(SectionHeader) == 40);

// Data directory slots this code cares about.
inline constexpr size_t kDirResource = 2;
inline constexpr size_t kDirSecurity = 4;
inline constexpr size_t kDirBaseReloc = 5;
inline constexpr size_t kDirDebug = 6;

// A parsed image: the file bytes plus the header facts needed to rewrite it.
struct Image {
  std::vector<uint8_t> file;
  bool pe32_plus = true;
  uint16_t machine = 0;
  size_t file_header_offset = 0;  // COFF file header, right after "PE\0\0"
  size_t optional_header_offset = 0;
  size_t section_table_offset = 0;
  uint32_t entry_point = 0;  // RVA
  uint32_t file_alignment = 0;
  uint32_t section_alignment = 0;
  uint32_t size_of_headers = 0;
  std::vector<DataDirectory> directories;  // NumberOfRvaAndSizes entries
  std::vector<SectionHeader> sections;     // ascending RVA (checked by the parser)
};

// Accepts PE32+ for x86-64 and PE32 for x86; refuses anything malformed.
Result<Image> parse_image(std::vector<uint8_t> file);

inline constexpr size_t kDirExport = 0;
inline constexpr size_t kDirImport = 1;
inline constexpr size_t kDirDelayImport = 13;

// The directory in `slot`, zero when the image has fewer.
DataDirectory directory_of(const Image& image, size_t slot);

// The file's bytes from `rva` to the end of the section data that holds it;
// empty when no section's file data holds it.
std::span<const uint8_t> bytes_from_rva(const Image& image, uint64_t rva);

// IMAGE_FILE_* flags of the COFF file header (IMAGE_FILE_DLL is 0x2000).
uint16_t file_characteristics(const Image& image);

// ---- helpers shared with the resource code ----------------------------------------

std::string hex(uint64_t v);  // "0x1f"
uint64_t align_up(uint64_t v, uint64_t alignment);

// File offset of [rva, rva+len) when it lies entirely inside one section's file data.
std::optional<uint64_t> map_rva(const std::vector<SectionHeader>& sections, uint64_t rva, uint64_t len);

// ---- writing ----------------------------------------------------------------------

struct ResourceTree;

// Windows maps neither a file nor an image of 2 GiB or more; the writer makes neither.
inline constexpr uint64_t kMaxImageBytes = 0x7fffffff;

struct WriteOutput {
  // The whole file, unless the tree holds a streamed resource: then the file
  // is these bytes with that resource's hole_size bytes inserted at hole_at,
  // and the CheckSum field (at checksum_at) is left for the caller to fill.
  std::vector<uint8_t> file;
  bool signature_removed = false;  // the input was signed; it must be signed again
  uint64_t hole_at = 0;
  uint64_t hole_size = 0;
  size_t checksum_at = 0;
};

// A copy of `image` whose resources are `tree`, with every dependent header field fixed.
Result<WriteOutput> write_image(const Image& image, const ResourceTree& tree);

// The optional header's CheckSum: the file taken as 16-bit little-endian words
// (a last odd byte padded with zero), summed with end-around carry, the 4 bytes
// of the field itself counted as zero, plus the file's length. Being a sum, it
// can be taken over pieces as they are written, at any offsets.
class PeChecksum {
 public:
  explicit PeChecksum(uint64_t checksum_offset) : skip_(checksum_offset) {}
  void add(std::span<const uint8_t> bytes);
  uint32_t value() const;

 private:
  uint64_t skip_;
  uint64_t length_ = 0;
  uint64_t sum_ = 0;  // folded only at the end: 2^48 words cannot overflow it
};

// The optional header's CheckSum over `file`, skipping the 4 bytes at `checksum_offset`.
uint32_t pe_checksum(std::span<const uint8_t> file, size_t checksum_offset);

}  // namespace vorbel::pe
