// The import walk of pe_import_walk.h. Section headers are read again for each
// address: the walk runs only where a load has failed, and keeping them would
// need a buffer of 96 headers for a few dozen look-ups.
#include "payload/pe_import_walk.h"

#include "common/capacities.h"

namespace {

constexpr size_t DOS_HEADER_SIZE = 64, DOS_LFANEW = 0x3c;
// "PE\0\0", then the COFF file header.
constexpr size_t COFF_SECTION_COUNT = 4 + 2, COFF_OPTIONAL_SIZE = 4 + 16, OPTIONAL_HEADER = 4 + 20;
constexpr uint16_t MAGIC_PE32 = 0x10b, MAGIC_PE32_PLUS = 0x20b;
// Offsets in the optional header of NumberOfRvaAndSizes and the directories.
constexpr size_t PE32_DIRECTORY_COUNT = 92, PE32_PLUS_DIRECTORY_COUNT = 108;
constexpr uint32_t IMPORT_SLOT = 1, DELAY_IMPORT_SLOT = 13;
constexpr size_t SECTION_HEADER_SIZE = 40, MAX_SECTIONS = 96;
// Descriptor sizes, and where each keeps the RVA of the DLL's name.
constexpr size_t IMPORT_DESCRIPTOR_SIZE = 20, IMPORT_NAME = 12;
constexpr size_t DELAY_DESCRIPTOR_SIZE = 32, DELAY_NAME = 4;

uint32_t u16_at(const uint8_t* bytes) { return bytes[0] | (bytes[1] << 8); }
uint32_t u32_at(const uint8_t* bytes) { return u16_at(bytes) | (u16_at(bytes + 2) << 16); }

struct Layout {
  const PeFile* file;
  uint64_t section_table;
  uint32_t section_count;
};

// The file offset of rva and how many bytes of section data follow it there.
bool locate(const Layout* layout, uint32_t rva, uint64_t* offset, uint32_t* available) {
  for (uint32_t i = 0; i < layout->section_count; ++i) {
    uint8_t header[SECTION_HEADER_SIZE];
    if (!layout->file->read(layout->file->context, layout->section_table + i * SECTION_HEADER_SIZE, header,
                            sizeof header))
      return false;
    uint32_t virtual_size = u32_at(header + 8), virtual_address = u32_at(header + 12);
    uint32_t raw_size = u32_at(header + 16), raw_offset = u32_at(header + 20);
    // Only bytes both mapped and present in the file hold tables.
    uint32_t backed = virtual_size != 0 && virtual_size < raw_size ? virtual_size : raw_size;
    if (rva >= virtual_address && rva - virtual_address < backed) {
      *offset = uint64_t{raw_offset} + (rva - virtual_address);
      *available = backed - (rva - virtual_address);
      return true;
    }
  }
  return false;
}

// Reads at most the bytes the section holds; the name must end within them and the capacity.
bool read_name(const Layout* layout, uint32_t rva, char* name) {
  uint64_t offset;
  uint32_t available;
  if (!locate(layout, rva, &offset, &available)) return false;
  size_t size = available < PE_IMPORT_NAME_CAPACITY ? available : PE_IMPORT_NAME_CAPACITY;
  if (!layout->file->read(layout->file->context, offset, name, size)) return false;
  for (size_t i = 0; i < size; ++i) {
    if (name[i] == '\0') return i != 0;
  }
  return false;
}

PeImportWalkEnd walk_table(const Layout* layout, uint32_t table_rva, size_t descriptor_size, size_t name_field,
                           bool (*take_name)(void*, const char*), void* context) {
  if (table_rva == 0) return PE_IMPORTS_WALKED;
  uint64_t offset;
  uint32_t available;
  if (!locate(layout, table_rva, &offset, &available)) return PE_IMPORTS_DAMAGED;
  char name[PE_IMPORT_NAME_CAPACITY];
  for (uint32_t at = 0;; at += descriptor_size) {
    uint8_t descriptor[DELAY_DESCRIPTOR_SIZE];
    if (at > available || available - at < descriptor_size) return PE_IMPORTS_DAMAGED;
    if (!layout->file->read(layout->file->context, offset + at, descriptor, descriptor_size)) return PE_IMPORTS_DAMAGED;
    uint32_t name_rva = u32_at(descriptor + name_field);
    if (name_rva == 0) return PE_IMPORTS_WALKED;
    if (!read_name(layout, name_rva, name)) return PE_IMPORTS_DAMAGED;
    if (!take_name(context, name)) return PE_IMPORTS_STOPPED;
  }
}

// The RVA in a directory slot; 0 (none) for a slot the optional header lacks.
uint32_t directory_rva(const uint8_t* optional, size_t count_at, size_t header_size, uint32_t slot) {
  uint32_t directory_count = u32_at(optional + count_at);
  if (slot >= directory_count || count_at + 4 + (slot + 1) * 8 > header_size) return 0;
  return u32_at(optional + count_at + 4 + slot * 8);
}

}  // namespace

PeImportWalkEnd walk_pe_imports(const PeFile* file, bool (*take_name)(void* context, const char* name), void* context) {
  uint8_t dos[DOS_HEADER_SIZE];
  if (!file->read(file->context, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return PE_IMPORTS_NOT_PE;
  uint64_t pe = u32_at(dos + DOS_LFANEW);
  uint8_t headers[OPTIONAL_HEADER + PE32_PLUS_DIRECTORY_COUNT + 4 + 16 * 8];
  if (!file->read(file->context, pe, headers, OPTIONAL_HEADER + 2) || u32_at(headers) != 0x00004550)
    return PE_IMPORTS_NOT_PE;
  uint32_t magic = u16_at(headers + OPTIONAL_HEADER);
  if (magic != MAGIC_PE32 && magic != MAGIC_PE32_PLUS) return PE_IMPORTS_NOT_PE;
  uint32_t optional_size = u16_at(headers + COFF_OPTIONAL_SIZE);
  size_t count_at = magic == MAGIC_PE32_PLUS ? PE32_PLUS_DIRECTORY_COUNT : PE32_DIRECTORY_COUNT;
  if (optional_size < count_at + 4) return PE_IMPORTS_DAMAGED;
  // The directories as far as the optional header holds them, at most the 16 there are.
  size_t header_size = optional_size < count_at + 4 + 16 * 8 ? optional_size : count_at + 4 + 16 * 8;
  if (!file->read(file->context, pe, headers, OPTIONAL_HEADER + header_size)) return PE_IMPORTS_DAMAGED;
  const uint8_t* optional = headers + OPTIONAL_HEADER;
  Layout layout = {file, pe + OPTIONAL_HEADER + optional_size, u16_at(headers + COFF_SECTION_COUNT)};
  if (layout.section_count > MAX_SECTIONS) return PE_IMPORTS_DAMAGED;
  PeImportWalkEnd end = walk_table(&layout, directory_rva(optional, count_at, header_size, IMPORT_SLOT),
                                   IMPORT_DESCRIPTOR_SIZE, IMPORT_NAME, take_name, context);
  if (end != PE_IMPORTS_WALKED) return end;
  return walk_table(&layout, directory_rva(optional, count_at, header_size, DELAY_IMPORT_SLOT), DELAY_DESCRIPTOR_SIZE,
                    DELAY_NAME, take_name, context);
}
