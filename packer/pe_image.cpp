// The PE image itself for the packer: headers, sections, data directories, the
// layout of a rewritten image, its checksum and certificate table. The resource
// tree it carries is pe_resources.cpp's. Every offset taken from the file is
// bounds-checked before use; nothing here throws on bad input, reads the clock, or
// depends on the host's byte order or struct layout.
#include "packer/pe_image.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <optional>

#include "packer/pe_resources.h"
#include "packer/pe_structures.h"

namespace vorbel::pe {
namespace {

constexpr uint32_t kScnInitializedData = 0x00000040u;
constexpr uint32_t kScnMemRead = 0x40000000u;
constexpr char kRsrcName[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
constexpr char kStaleRsrcName[8] = {'.', 'o', 'l', 'd', 'r', 's', 'r', 'c'};
constexpr uint64_t kResourceRootTableBytes = 16;  // the fixed header of the resource tree's root table

Error fail(std::string message) { return Error{std::move(message)}; }
Error too_large(std::string message) { return Error{std::move(message), true}; }

std::string section_name(const SectionHeader& s) {
  std::string name;
  for (uint8_t c : s.name) {
    if (c == 0) break;
    name += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
  }
  return "'" + name + "'";
}

bool is_power_of_two(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The loader maps VirtualSize bytes; linkers sometimes leave it 0 for raw-only sections.
uint64_t mapped_size(const SectionHeader& s) { return s.virtual_size ? s.virtual_size : s.size_of_raw_data; }

bool overlaps(uint64_t a, uint64_t a_len, uint64_t b, uint64_t b_len) { return a < b + b_len && b < a + a_len; }

DataDirectory directory(const Image& image, size_t slot) {
  return slot < image.directories.size() ? image.directories[slot] : DataDirectory{};
}

size_t directory_offset(const Image& image, size_t slot) {
  size_t base =
      image.pe32_plus ? offsetof(OptionalHeader64, data_directory) : offsetof(OptionalHeader32, data_directory);
  return image.optional_header_offset + base + slot * sizeof(DataDirectory);
}

SectionHeader read_section(std::span<const uint8_t> f, size_t at) {
  SectionHeader s;
  std::copy_n(f.begin() + static_cast<std::ptrdiff_t>(at), 8, s.name);
  s.virtual_size = get_u32(f, at + offsetof(SectionHeader, virtual_size));
  s.virtual_address = get_u32(f, at + offsetof(SectionHeader, virtual_address));
  s.size_of_raw_data = get_u32(f, at + offsetof(SectionHeader, size_of_raw_data));
  s.pointer_to_raw_data = get_u32(f, at + offsetof(SectionHeader, pointer_to_raw_data));
  s.pointer_to_relocations = get_u32(f, at + offsetof(SectionHeader, pointer_to_relocations));
  s.pointer_to_linenumbers = get_u32(f, at + offsetof(SectionHeader, pointer_to_linenumbers));
  s.number_of_relocations = get_u16(f, at + offsetof(SectionHeader, number_of_relocations));
  s.number_of_linenumbers = get_u16(f, at + offsetof(SectionHeader, number_of_linenumbers));
  s.characteristics = get_u32(f, at + offsetof(SectionHeader, characteristics));
  return s;
}

void write_section(std::span<uint8_t> f, size_t at, const SectionHeader& s) {
  std::copy_n(s.name, 8, f.begin() + static_cast<std::ptrdiff_t>(at));
  put_u32(f, at + offsetof(SectionHeader, virtual_size), s.virtual_size);
  put_u32(f, at + offsetof(SectionHeader, virtual_address), s.virtual_address);
  put_u32(f, at + offsetof(SectionHeader, size_of_raw_data), s.size_of_raw_data);
  put_u32(f, at + offsetof(SectionHeader, pointer_to_raw_data), s.pointer_to_raw_data);
  put_u32(f, at + offsetof(SectionHeader, pointer_to_relocations), s.pointer_to_relocations);
  put_u32(f, at + offsetof(SectionHeader, pointer_to_linenumbers), s.pointer_to_linenumbers);
  put_u16(f, at + offsetof(SectionHeader, number_of_relocations), s.number_of_relocations);
  put_u16(f, at + offsetof(SectionHeader, number_of_linenumbers), s.number_of_linenumbers);
  put_u32(f, at + offsetof(SectionHeader, characteristics), s.characteristics);
}

// ---- image layout planning ---------------------------------------------------------

// True when no header field but directory `slot` refers into `s`, so the section can
// be rewritten or moved without fixing up anything else.
bool referenced_only_by(const Image& image, const SectionHeader& s, size_t slot) {
  for (size_t i = 0; i < image.directories.size(); ++i) {
    const DataDirectory& d = image.directories[i];
    if (i == slot || i == kDirSecurity || d.virtual_address == 0 || d.size == 0) continue;
    if (overlaps(s.virtual_address, mapped_size(s), d.virtual_address, d.size)) return false;
  }
  return !overlaps(s.virtual_address, mapped_size(s), image.entry_point, 1);
}

// Base relocations are position independent and nothing addresses them absolutely.
bool is_relocation_section(const Image& image, const SectionHeader& s) {
  DataDirectory d = directory(image, kDirBaseReloc);
  return d.size != 0 && d.virtual_address == s.virtual_address && referenced_only_by(image, s, kDirBaseReloc);
}

struct Plan {
  bool in_place = false;  // otherwise a new section is appended
  size_t rsrc = 0;        // first rewritten section; only relocations may follow it
  uint64_t cut = 0;       // file bytes from here to the end of the sections are rewritten
};

Plan plan_layout(const Image& image, uint64_t sections_end) {
  DataDirectory rd = directory(image, kDirResource);
  const auto& secs = image.sections;
  auto it = std::find_if(secs.begin(), secs.end(), [&](const SectionHeader& s) {
    return rd.virtual_address != 0 && s.virtual_address == rd.virtual_address;
  });
  if (it == secs.end() || !referenced_only_by(image, *it, kDirResource)) return {};
  size_t rsrc = static_cast<size_t>(it - secs.begin());
  uint64_t cut = sections_end;
  for (size_t i = rsrc; i < secs.size(); ++i) {
    if (i > rsrc && !is_relocation_section(image, secs[i])) return {};
    if (secs[i].size_of_raw_data) cut = std::min<uint64_t>(cut, secs[i].pointer_to_raw_data);
  }
  for (size_t i = 0; i < rsrc; ++i)
    if (secs[i].size_of_raw_data && uint64_t{secs[i].pointer_to_raw_data} + secs[i].size_of_raw_data > cut) return {};
  return {true, rsrc, cut};
}

// ---- the steps of write_image --------------------------------------------------------

uint64_t image_end_of(const std::vector<SectionHeader>& sections) {
  uint64_t end = 0;
  for (const SectionHeader& s : sections) end = std::max(end, s.virtual_address + mapped_size(s));
  return end;
}

// The file offset where the sections' data ends (the end of the headers at
// least): the overlay, if any, begins there.
uint64_t sections_end_of(const Image& image) {
  uint64_t end = std::min<uint64_t>(image.size_of_headers, image.file.size());
  for (const SectionHeader& s : image.sections) {
    if (s.size_of_raw_data) end = std::max<uint64_t>(end, uint64_t{s.pointer_to_raw_data} + s.size_of_raw_data);
  }
  return end;
}

// The certificate table's bytes in the file; both ends at the end of the
// file when the image is not signed.
struct Certificate {
  bool present = false;
  uint64_t begin = 0;
  uint64_t end = 0;
};

// A signature covers the bytes about to change, so it can only be dropped:
// from the overlay, the one place it can be left out of the copy.
Result<Certificate> certificate_of(const Image& image, uint64_t sections_end) {
  const uint64_t file_size = image.file.size();
  DataDirectory cert = directory(image, kDirSecurity);
  if (cert.size == 0) return Certificate{false, file_size, file_size};
  if (cert.virtual_address < sections_end || uint64_t{cert.virtual_address} + cert.size > file_size)
    return fail("certificate table (offset " + hex(cert.virtual_address) + ", " + std::to_string(cert.size) +
                " bytes) does not lie after the sections");
  return Certificate{true, cert.virtual_address, uint64_t{cert.virtual_address} + cert.size};
}

// The header of the section the resources go to: the resource section's own,
// to be rewritten in place, or a new one after the image's end, which the
// caller appends to `sections` (where it renames the section it supersedes).
Result<SectionHeader> resource_section_header(const Image& image, const Plan& plan, uint64_t image_end,
                                              std::vector<SectionHeader>* sections) {
  if (plan.in_place) return (*sections)[plan.rsrc];
  std::span<const uint8_t> in(image.file);
  const size_t table_end = image.section_table_offset + sections->size() * sizeof(SectionHeader);
  uint64_t room = image.size_of_headers;
  for (const SectionHeader& s : image.sections)
    if (s.size_of_raw_data) room = std::min<uint64_t>(room, s.pointer_to_raw_data);
  bool free = table_end + sizeof(SectionHeader) <= std::min<uint64_t>(room, in.size()) && sections->size() < 0xffff &&
              std::all_of(in.begin() + static_cast<std::ptrdiff_t>(table_end),
                          in.begin() + static_cast<std::ptrdiff_t>(table_end + sizeof(SectionHeader)),
                          [](uint8_t b) { return b == 0; });
  if (!free) return fail("no room in the headers for a new resource section header");
  // Tools find resources by section name; the superseded section must not win.
  for (SectionHeader& s : *sections)
    if (std::equal(s.name, s.name + 8, kRsrcName)) std::copy_n(kStaleRsrcName, 8, s.name);
  SectionHeader rsrc;
  std::copy_n(kRsrcName, 8, rsrc.name);
  rsrc.virtual_address = static_cast<uint32_t>(align_up(image_end, image.section_alignment));
  rsrc.characteristics = kScnInitializedData | kScnMemRead;
  if (rsrc.virtual_address != align_up(image_end, image.section_alignment))
    return fail("image too large for another section");
  return rsrc;
}

// The file being written: `bytes`, and the streamed resource's `hole_size`
// bytes that `bytes` leaves out. Offsets are offsets in the file written, so
// they count the hole (which lies past the headers) too.
struct Output {
  std::vector<uint8_t> bytes;
  uint64_t hole_size = 0;
  uint64_t size() const { return bytes.size() + hole_size; }
  void pad(uint64_t alignment) { bytes.resize(align_up(size(), alignment) - hole_size, 0); }
};

// Puts the laid-out resources at the next aligned offset and completes their
// section header; returns the file offset of the streamed resource's hole.
uint64_t append_resource_data(const ResourceSection& built, uint64_t file_alignment, SectionHeader* rsrc, Output* out) {
  out->pad(file_alignment);
  rsrc->virtual_size = static_cast<uint32_t>(built.size());
  rsrc->size_of_raw_data = static_cast<uint32_t>(align_up(built.size(), file_alignment));
  rsrc->pointer_to_raw_data = static_cast<uint32_t>(out->size());
  const uint64_t hole_at = out->size() + built.hole_at;
  out->bytes.insert(out->bytes.end(), built.bytes.begin(), built.bytes.end());
  out->hole_size = built.hole_size;
  out->pad(file_alignment);
  return hole_at;
}

// A section's file data, copied from `from` in the input to `to` in the output.
struct Move {
  uint64_t from, size, to;
};

// In place, the (relocation) sections after the resource section follow it
// to new addresses and file offsets; `reloc` follows its section.
std::vector<Move> move_following_sections(const Image& image, const Plan& plan, std::vector<SectionHeader>* sections,
                                          DataDirectory* reloc, Output* out) {
  std::span<const uint8_t> in(image.file);
  const uint64_t sa = image.section_alignment;
  std::vector<Move> moves;
  const SectionHeader& rsrc = (*sections)[plan.rsrc];
  uint64_t next_va = align_up(rsrc.virtual_address + mapped_size(rsrc), sa);
  for (size_t i = plan.rsrc + 1; i < sections->size(); ++i) {
    SectionHeader& s = (*sections)[i];
    if (reloc->virtual_address == s.virtual_address) reloc->virtual_address = static_cast<uint32_t>(next_va);
    s.virtual_address = static_cast<uint32_t>(next_va);
    if (s.size_of_raw_data) {
      moves.push_back({s.pointer_to_raw_data, s.size_of_raw_data, out->size()});
      s.pointer_to_raw_data = static_cast<uint32_t>(out->size());
      auto from = in.begin() + static_cast<std::ptrdiff_t>(moves.back().from);
      out->bytes.insert(out->bytes.end(), from, from + s.size_of_raw_data);
      out->pad(image.file_alignment);
    }
    next_va = align_up(s.virtual_address + mapped_size(s), sa);
  }
  return moves;
}

// Where an input file offset lies in the output: moved section data where it
// went, the rest of the sections where it was, and the overlay after the new
// sections, closed up over the dropped certificate table.
struct OffsetMap {
  std::vector<Move> moves;
  uint64_t sections_end = 0;      // in the input
  uint64_t new_sections_end = 0;  // in the output
  Certificate certificate;
};

uint64_t new_offset(const OffsetMap& map, uint64_t offset) {
  for (const Move& m : map.moves)
    if (offset >= m.from && offset < m.from + m.size) return m.to + (offset - m.from);
  if (offset < map.sections_end) return offset;
  if (offset >= map.certificate.end && map.certificate.present) offset -= map.certificate.end - map.certificate.begin;
  return offset - map.sections_end + map.new_sections_end;
}

// The overlay (installer data, COFF symbols...) follows the sections, minus the signature.
void append_overlay(std::span<const uint8_t> in, const OffsetMap& map, Output* out) {
  out->bytes.insert(out->bytes.end(), in.begin() + static_cast<std::ptrdiff_t>(map.sections_end),
                    in.begin() + static_cast<std::ptrdiff_t>(map.certificate.begin));
  out->bytes.insert(out->bytes.end(), in.begin() + static_cast<std::ptrdiff_t>(map.certificate.end), in.end());
}

// ---- header fix-ups, on the output's copy of the headers ----

void write_section_table(const Image& image, const std::vector<SectionHeader>& sections, std::span<uint8_t> o) {
  put_u16(o, image.file_header_offset + offsetof(FileHeader, number_of_sections),
          static_cast<uint16_t>(sections.size()));
  for (size_t i = 0; i < sections.size(); ++i)
    write_section(o, image.section_table_offset + i * sizeof(SectionHeader), sections[i]);
}

void write_directories(const Image& image, const SectionHeader& rsrc, const DataDirectory& reloc, bool drop_certificate,
                       std::span<uint8_t> o) {
  put_u32(o, directory_offset(image, kDirResource), rsrc.virtual_address);
  put_u32(o, directory_offset(image, kDirResource) + 4, rsrc.virtual_size);
  if (image.directories.size() > kDirBaseReloc)
    put_u32(o, directory_offset(image, kDirBaseReloc), reloc.virtual_address);
  if (drop_certificate) {
    put_u32(o, directory_offset(image, kDirSecurity), 0);
    put_u32(o, directory_offset(image, kDirSecurity) + 4, 0);
  }
}

// SizeOfImage, and SizeOfInitializedData with the old resource section's
// file size (`old_rsrc_raw`) replaced by the new one's.
void write_sizes(const Image& image, uint64_t size_of_image, uint32_t old_rsrc_raw, uint32_t new_rsrc_raw,
                 std::span<uint8_t> o) {
  const size_t opt = image.optional_header_offset;
  put_u32(o, opt + offsetof(OptionalHeader64, size_of_image), static_cast<uint32_t>(size_of_image));
  int64_t init = int64_t{get_u32(image.file, opt + offsetof(OptionalHeader64, size_of_initialized_data))} -
                 old_rsrc_raw + new_rsrc_raw;
  put_u32(o, opt + offsetof(OptionalHeader64, size_of_initialized_data),
          static_cast<uint32_t>(std::clamp<int64_t>(init, 0, std::numeric_limits<uint32_t>::max())));
}

// The file offsets that headers hold outside the section table: the COFF
// symbol table's, and the debug directory's raw data pointers (when the
// directory itself lies in the bytes `kept` verbatim).
void remap_file_pointers(const Image& image, uint64_t kept, const OffsetMap& map, std::span<uint8_t> o) {
  std::span<const uint8_t> in(image.file);
  const size_t symbols_at = image.file_header_offset + offsetof(FileHeader, pointer_to_symbol_table);
  if (uint32_t symbols = get_u32(in, symbols_at))
    put_u32(o, symbols_at, static_cast<uint32_t>(new_offset(map, symbols)));
  DataDirectory debug = directory(image, kDirDebug);
  auto debug_at = map_rva(image.sections, debug.virtual_address, debug.size);
  if (!debug.virtual_address || !debug_at || *debug_at + debug.size > kept) return;
  for (uint64_t e = *debug_at; e + sizeof(DebugDirectory) <= *debug_at + debug.size; e += sizeof(DebugDirectory)) {
    size_t field = e + offsetof(DebugDirectory, pointer_to_raw_data);
    if (uint32_t ptr = get_u32(in, field)) put_u32(o, field, static_cast<uint32_t>(new_offset(map, ptr)));
  }
}

}  // namespace

// ---- shared with the resource code --------------------------------------------------

std::string hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

uint64_t align_up(uint64_t v, uint64_t alignment) { return (v + alignment - 1) & ~(alignment - 1); }

// File offset of [rva, rva+len) when it lies entirely inside one section's file data.
// File data past the mapped size is not the section's in memory: the next section may
// start there (the writer puts a new one right after the last mapped byte).
std::optional<uint64_t> map_rva(const std::vector<SectionHeader>& sections, uint64_t rva, uint64_t len) {
  for (const SectionHeader& s : sections) {
    uint64_t backed = std::min<uint64_t>(s.size_of_raw_data, mapped_size(s));
    if (rva >= s.virtual_address && rva + len <= s.virtual_address + backed)
      return uint64_t{s.pointer_to_raw_data} + (rva - s.virtual_address);
  }
  return std::nullopt;
}

// ---- public API ---------------------------------------------------------------------

Result<Image> parse_image(std::vector<uint8_t> file) {
  Image img;
  std::span<const uint8_t> f(file);
  const uint64_t size = f.size();
  if (size < sizeof(DosHeader) || get_u16(f, 0) != 0x5a4d) return fail("not a Windows executable (no MZ header)");
  uint32_t lfanew = get_u32(f, offsetof(DosHeader, e_lfanew));
  if (lfanew < sizeof(DosHeader) || uint64_t{lfanew} + 4 + sizeof(FileHeader) > size)
    return fail("bad e_lfanew " + hex(lfanew) + ": no room for a PE header there");
  if (get_u32(f, lfanew) != 0x00004550) return fail("no PE signature at e_lfanew " + hex(lfanew));

  img.file_header_offset = lfanew + 4;
  img.optional_header_offset = img.file_header_offset + sizeof(FileHeader);
  img.machine = get_u16(f, img.file_header_offset + offsetof(FileHeader, machine));
  uint16_t section_count = get_u16(f, img.file_header_offset + offsetof(FileHeader, number_of_sections));
  uint16_t optional_size = get_u16(f, img.file_header_offset + offsetof(FileHeader, size_of_optional_header));
  if (img.optional_header_offset + 2 > size) return fail("truncated headers: no optional header");
  uint16_t magic = get_u16(f, img.optional_header_offset);
  if (magic != 0x20b && magic != 0x10b) return fail("unsupported optional header magic " + hex(magic));
  img.pe32_plus = magic == 0x20b;
  if (img.machine != (img.pe32_plus ? 0x8664 : 0x14c))
    return fail("unsupported machine type " + hex(img.machine) + (img.pe32_plus ? " for PE32+" : " for PE32"));

  size_t dirs_at =
      img.pe32_plus ? offsetof(OptionalHeader64, data_directory) : offsetof(OptionalHeader32, data_directory);
  if (optional_size < dirs_at) return fail("optional header too small (" + std::to_string(optional_size) + " bytes)");
  if (img.optional_header_offset + optional_size > size)
    return fail("truncated headers: optional header ends past end of file");
  const size_t opt = img.optional_header_offset;
  uint32_t dir_count = get_u32(f, opt + (img.pe32_plus ? offsetof(OptionalHeader64, number_of_rva_and_sizes)
                                                       : offsetof(OptionalHeader32, number_of_rva_and_sizes)));
  if (dir_count > 16 || dirs_at + uint64_t{dir_count} * sizeof(DataDirectory) > optional_size)
    return fail("data directory count " + std::to_string(dir_count) + " does not fit the optional header");
  for (uint32_t i = 0; i < dir_count; ++i) {
    size_t at = opt + dirs_at + i * sizeof(DataDirectory);
    img.directories.push_back({get_u32(f, at), get_u32(f, at + 4)});
  }
  img.entry_point = get_u32(f, opt + offsetof(OptionalHeader64, address_of_entry_point));
  img.file_alignment = get_u32(f, opt + offsetof(OptionalHeader64, file_alignment));
  img.section_alignment = get_u32(f, opt + offsetof(OptionalHeader64, section_alignment));
  img.size_of_headers = get_u32(f, opt + offsetof(OptionalHeader64, size_of_headers));
  if (!is_power_of_two(img.file_alignment) || !is_power_of_two(img.section_alignment) ||
      img.section_alignment < img.file_alignment)
    return fail("invalid alignment (file " + hex(img.file_alignment) + ", section " + hex(img.section_alignment) + ")");

  img.section_table_offset = opt + optional_size;
  uint64_t table_end = img.section_table_offset + uint64_t{section_count} * sizeof(SectionHeader);
  if (section_count == 0) return fail("image has no sections");
  if (table_end > size || table_end > img.size_of_headers)
    return fail("section table (" + std::to_string(section_count) + " entries) extends past the headers");
  for (uint16_t i = 0; i < section_count; ++i) {
    SectionHeader s = read_section(f, img.section_table_offset + i * sizeof(SectionHeader));
    if (s.size_of_raw_data && uint64_t{s.pointer_to_raw_data} + s.size_of_raw_data > size)
      return fail("section " + section_name(s) + " extends past end of file (truncated?)");
    if (s.size_of_raw_data && s.pointer_to_raw_data < table_end)
      return fail("section " + section_name(s) + " overlaps the headers");
    // The headers are mapped from RVA 0. A section there would also let the writer
    // append the new resource section at RVA 0, which the directory reads as "none".
    if (s.virtual_address < img.size_of_headers)
      return fail("section " + section_name(s) + " lies over the headers in memory");
    if (!img.sections.empty()) {
      const SectionHeader& prev = img.sections.back();
      if (s.virtual_address < uint64_t{prev.virtual_address} + mapped_size(prev))
        return fail("sections " + section_name(prev) + " and " + section_name(s) +
                    " overlap or are out of address order");
    }
    img.sections.push_back(s);
  }
  DataDirectory rd = directory(img, kDirResource);
  if (rd.virtual_address != 0 && !map_rva(img.sections, rd.virtual_address, kResourceRootTableBytes))
    return fail("resource directory (RVA " + hex(rd.virtual_address) + ") lies outside every section");
  img.file = std::move(file);
  return img;
}

DataDirectory directory_of(const Image& image, size_t slot) { return directory(image, slot); }

std::span<const uint8_t> bytes_from_rva(const Image& image, uint64_t rva) {
  for (const SectionHeader& s : image.sections) {
    uint64_t backed = std::min<uint64_t>(s.size_of_raw_data, mapped_size(s));
    if (rva >= s.virtual_address && rva < s.virtual_address + backed) {
      uint64_t start = uint64_t{s.pointer_to_raw_data} + (rva - s.virtual_address);
      return std::span<const uint8_t>(image.file).subspan(start, s.virtual_address + backed - rva);
    }
  }
  return {};
}

uint16_t file_characteristics(const Image& image) {
  return get_u16(image.file, image.file_header_offset + offsetof(FileHeader, characteristics));
}

void PeChecksum::add(std::span<const uint8_t> bytes) {
  // A byte at an odd file offset is the high half of its word, wherever the piece began.
  auto one = [&](size_t i) {
    uint64_t at = length_ + i;
    if (at < skip_ || at >= skip_ + 4) sum_ += (at & 1) ? uint64_t{bytes[i]} << 8 : bytes[i];
  };
  size_t i = 0;
  if ((length_ & 1) && !bytes.empty()) one(i++);
  for (; i + 1 < bytes.size(); i += 2) {
    uint64_t at = length_ + i;
    if (at + 2 > skip_ && at < skip_ + 4) {
      one(i), one(i + 1);
    } else {
      sum_ += bytes[i] | (uint64_t{bytes[i + 1]} << 8);
    }
  }
  if (i < bytes.size()) one(i);
  length_ += bytes.size();
}

uint32_t PeChecksum::value() const {
  uint64_t sum = sum_;
  while (sum > 0xffff) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint32_t>(sum + length_);
}

uint32_t pe_checksum(std::span<const uint8_t> file, size_t checksum_offset) {
  PeChecksum checksum(checksum_offset);
  checksum.add(file);
  return checksum.value();
}

Result<WriteOutput> write_image(const Image& image, const ResourceTree& tree) {
  if (image.directories.size() <= kDirResource) return fail("image has no resource data directory slot");
  std::span<const uint8_t> in(image.file);
  const uint64_t sections_end = sections_end_of(image);
  auto certificate = certificate_of(image, sections_end);
  if (!certificate.ok()) return fail(certificate.error());

  const Plan plan = plan_layout(image, sections_end);
  std::vector<SectionHeader> sections = image.sections;
  auto placed = resource_section_header(image, plan, image_end_of(image.sections), &sections);
  if (!placed.ok()) return fail(placed.error());
  SectionHeader rsrc = placed.value();
  const uint32_t old_rsrc_raw = plan.in_place ? rsrc.size_of_raw_data : 0;
  auto built = lay_out_resource_section(tree, rsrc.virtual_address);
  if (!built.ok()) return Error{built.error(), built.too_large()};

  const uint64_t kept = plan.in_place ? plan.cut : sections_end;  // copied verbatim
  Output out{std::vector<uint8_t>(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(kept))};
  const uint64_t hole_at = append_resource_data(built.value(), image.file_alignment, &rsrc, &out);
  OffsetMap map{{}, sections_end, 0, certificate.value()};
  DataDirectory reloc = directory(image, kDirBaseReloc);
  if (plan.in_place) {
    sections[plan.rsrc] = rsrc;
    map.moves = move_following_sections(image, plan, &sections, &reloc, &out);
  } else {
    sections.push_back(rsrc);
  }
  const uint64_t size_of_image = align_up(image_end_of(sections), image.section_alignment);
  const uint64_t overlay = (map.certificate.begin - sections_end) + (in.size() - map.certificate.end);
  if (out.size() + overlay > kMaxImageBytes || size_of_image > kMaxImageBytes) {
    return too_large("the packed program would be " + std::to_string(out.size() + overlay) + " bytes (" +
                     std::to_string(size_of_image) + " in memory), more than the " + std::to_string(kMaxImageBytes) +
                     " bytes (2 GiB) Windows can load; the resources alone take " + std::to_string(built->size()) +
                     " bytes");
  }
  map.new_sections_end = out.size();
  append_overlay(in, map, &out);

  std::span<uint8_t> o(out.bytes);
  write_section_table(image, sections, o);
  write_directories(image, rsrc, reloc, map.certificate.present, o);
  write_sizes(image, size_of_image, old_rsrc_raw, rsrc.size_of_raw_data, o);
  remap_file_pointers(image, kept, map, o);
  const size_t checksum_at = image.optional_header_offset + offsetof(OptionalHeader64, check_sum);
  if (out.hole_size == 0) put_u32(o, checksum_at, pe_checksum(out.bytes, checksum_at));
  return WriteOutput{std::move(out.bytes), map.certificate.present, out.hole_size == 0 ? 0 : hole_at, out.hole_size,
                     checksum_at};
}

}  // namespace vorbel::pe
