// The PE headers' on-disk structures that only the image code needs (the
// ones callers see are in pe_image.h). They document the layout for offsetof;
// the bytes are read and written field by field with get/put, never copied
// into these, so host layout and byte order do not matter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "packer/pe_image.h"

namespace vorbel::pe {

struct DosHeader {
  uint16_t e_magic;     // "MZ"
  uint16_t e_cblp;      // bytes on the last 512-byte page
  uint16_t e_cp;        // 512-byte pages in the DOS image
  uint16_t e_crlc;      // DOS relocation count
  uint16_t e_cparhdr;   // DOS header size in 16-byte paragraphs
  uint16_t e_minalloc;  // minimum extra paragraphs
  uint16_t e_maxalloc;  // maximum extra paragraphs
  uint16_t e_ss;        // initial SS
  uint16_t e_sp;        // initial SP
  uint16_t e_csum;      // DOS checksum, unused
  uint16_t e_ip;        // initial IP
  uint16_t e_cs;        // initial CS
  uint16_t e_lfarlc;    // file offset of the DOS relocation table
  uint16_t e_ovno;      // DOS overlay number
  uint16_t e_res[4];    // reserved
  uint16_t e_oemid;     // OEM identifier
  uint16_t e_oeminfo;   // OEM information
  uint16_t e_res2[10];  // reserved
  uint32_t e_lfanew;    // file offset of the "PE\0\0" signature
};
static_assert(sizeof(DosHeader) == 64);

struct FileHeader {
  uint16_t machine;                  // target CPU (0x8664 x86-64, 0x14c x86)
  uint16_t number_of_sections;       // entries in the section table
  uint32_t time_date_stamp;          // link time, left untouched
  uint32_t pointer_to_symbol_table;  // file offset of COFF symbols (in the overlay), or 0
  uint32_t number_of_symbols;        // COFF symbol count; the string table follows them
  uint16_t size_of_optional_header;  // bytes from the optional header to the section table
  uint16_t characteristics;          // IMAGE_FILE_* flags
};
static_assert(sizeof(FileHeader) == 20);

struct OptionalHeader32 {
  uint16_t magic;                           // 0x10b
  uint8_t major_linker_version;             // informational
  uint8_t minor_linker_version;             // informational
  uint32_t size_of_code;                    // sum of code sections
  uint32_t size_of_initialized_data;        // sum of initialised data sections
  uint32_t size_of_uninitialized_data;      // sum of bss sections
  uint32_t address_of_entry_point;          // RVA
  uint32_t base_of_code;                    // RVA
  uint32_t base_of_data;                    // RVA (PE32 only)
  uint32_t image_base;                      // preferred load address
  uint32_t section_alignment;               // in memory
  uint32_t file_alignment;                  // in the file
  uint16_t major_operating_system_version;  // required OS version
  uint16_t minor_operating_system_version;
  uint16_t major_image_version;  // informational
  uint16_t minor_image_version;
  uint16_t major_subsystem_version;  // required subsystem version
  uint16_t minor_subsystem_version;
  uint32_t win32_version_value;  // reserved, 0
  uint32_t size_of_image;        // end of the last section, section-aligned
  uint32_t size_of_headers;      // headers rounded to file alignment
  uint32_t check_sum;            // see pe_checksum
  uint16_t subsystem;            // 2 = GUI
  uint16_t dll_characteristics;  // IMAGE_DLLCHARACTERISTICS_* flags
  uint32_t size_of_stack_reserve;
  uint32_t size_of_stack_commit;
  uint32_t size_of_heap_reserve;
  uint32_t size_of_heap_commit;
  uint32_t loader_flags;             // reserved, 0
  uint32_t number_of_rva_and_sizes;  // data directory entries that follow
  DataDirectory data_directory[16];
};
static_assert(sizeof(OptionalHeader32) == 224);

struct OptionalHeader64 {
  uint16_t magic;                           // 0x20b
  uint8_t major_linker_version;             // informational
  uint8_t minor_linker_version;             // informational
  uint32_t size_of_code;                    // sum of code sections
  uint32_t size_of_initialized_data;        // sum of initialised data sections
  uint32_t size_of_uninitialized_data;      // sum of bss sections
  uint32_t address_of_entry_point;          // RVA
  uint32_t base_of_code;                    // RVA
  uint64_t image_base;                      // preferred load address
  uint32_t section_alignment;               // in memory
  uint32_t file_alignment;                  // in the file
  uint16_t major_operating_system_version;  // required OS version
  uint16_t minor_operating_system_version;
  uint16_t major_image_version;  // informational
  uint16_t minor_image_version;
  uint16_t major_subsystem_version;  // required subsystem version
  uint16_t minor_subsystem_version;
  uint32_t win32_version_value;  // reserved, 0
  uint32_t size_of_image;        // end of the last section, section-aligned
  uint32_t size_of_headers;      // headers rounded to file alignment
  uint32_t check_sum;            // see pe_checksum
  uint16_t subsystem;            // 2 = GUI
  uint16_t dll_characteristics;  // IMAGE_DLLCHARACTERISTICS_* flags
  uint64_t size_of_stack_reserve;
  uint64_t size_of_stack_commit;
  uint64_t size_of_heap_reserve;
  uint64_t size_of_heap_commit;
  uint32_t loader_flags;             // reserved, 0
  uint32_t number_of_rva_and_sizes;  // data directory entries that follow
  DataDirectory data_directory[16];
};
static_assert(sizeof(OptionalHeader64) == 240);

// The fields both variants share sit at the same offsets, so one set of offsets serves.
#define VORBEL_SAME_OFFSET(f) static_assert(offsetof(OptionalHeader32, f) == offsetof(OptionalHeader64, f))
VORBEL_SAME_OFFSET(size_of_initialized_data);
VORBEL_SAME_OFFSET(address_of_entry_point);
VORBEL_SAME_OFFSET(section_alignment);
VORBEL_SAME_OFFSET(file_alignment);
VORBEL_SAME_OFFSET(size_of_image);
VORBEL_SAME_OFFSET(size_of_headers);
VORBEL_SAME_OFFSET(check_sum);
#undef VORBEL_SAME_OFFSET

struct DebugDirectory {
  uint32_t characteristics;  // reserved
  uint32_t time_date_stamp;  // as linked
  uint16_t major_version;
  uint16_t minor_version;
  uint32_t type;                 // IMAGE_DEBUG_TYPE_*
  uint32_t size_of_data;         // bytes
  uint32_t address_of_raw_data;  // RVA, 0 when the data is not mapped
  uint32_t pointer_to_raw_data;  // file offset: must follow the data when it moves
};
static_assert(sizeof(DebugDirectory) == 28);

}  // namespace vorbel::pe
