// Synthetic PE images for tests and fuzz seeds; see synthetic_image.h.
#include "packer/synthetic_image.h"

#include <algorithm>
#include <string>

namespace vorbel::pe {
namespace {

// Export directory, name pointers, import and delay-import descriptors and the
// names they point at, laid out for a section mapped at `va`.
std::vector<uint8_t> linking_tables(const SyntheticImage& o, uint32_t va, DataDirectory* exports,
                                    DataDirectory* imports, DataDirectory* delay) {
  std::vector<uint8_t> t(40 + 4 * o.exports.size() + 20 * (o.imports.size() + 1) + 32 * (o.delay_imports.size() + 1),
                         0);
  const size_t pointers = 40, descriptors = pointers + 4 * o.exports.size();
  const size_t delay_descriptors = descriptors + 20 * (o.imports.size() + 1);
  auto add_name = [&](const std::string& name) {
    uint32_t rva = va + static_cast<uint32_t>(t.size());
    t.insert(t.end(), name.begin(), name.end());
    t.push_back(0);
    return rva;
  };
  put_u32(t, 24, static_cast<uint32_t>(o.exports.size()));
  put_u32(t, 32, va + static_cast<uint32_t>(pointers));
  // add_name grows t: the name goes in before t is taken as a span, which the
  // growth would leave pointing at freed memory.
  const auto point_at_name = [&](size_t at, const std::string& name) {
    uint32_t rva = add_name(name);
    put_u32(t, at, rva);
  };
  for (size_t i = 0; i < o.exports.size(); ++i) point_at_name(pointers + 4 * i, o.exports[i]);
  for (size_t i = 0; i < o.imports.size(); ++i) point_at_name(descriptors + 20 * i + 12, o.imports[i]);
  for (size_t i = 0; i < o.delay_imports.size(); ++i) point_at_name(delay_descriptors + 32 * i + 4, o.delay_imports[i]);
  if (!o.exports.empty()) *exports = {va, 40};
  if (!o.imports.empty()) *imports = {va + static_cast<uint32_t>(descriptors), 20 * uint32_t(o.imports.size() + 1)};
  if (!o.delay_imports.empty())
    *delay = {va + static_cast<uint32_t>(delay_descriptors), 32 * uint32_t(o.delay_imports.size() + 1)};
  return t;
}

}  // namespace

std::vector<uint8_t> make_synthetic_image(const SyntheticImage& o) {
  std::vector<uint8_t> f(0x400, 0);
  std::vector<SectionHeader> secs;
  std::vector<std::pair<size_t, DataDirectory>> dirs;
  uint32_t va = 0x1000;
  auto add = [&](const char* name, const std::vector<uint8_t>& data, uint32_t flags, int dir) {
    SectionHeader s;
    std::copy_n(name, std::char_traits<char>::length(name), s.name);
    s.virtual_address = va;
    s.virtual_size = static_cast<uint32_t>(data.size());
    s.pointer_to_raw_data = static_cast<uint32_t>(f.size());
    f.insert(f.end(), data.begin(), data.end());
    f.resize((f.size() + 0x1ff) & ~size_t{0x1ff});
    s.size_of_raw_data = static_cast<uint32_t>(f.size() - s.pointer_to_raw_data);
    s.characteristics = flags;
    secs.push_back(s);
    if (dir >= 0) dirs.push_back({static_cast<size_t>(dir), {va, s.virtual_size}});
    va += (s.virtual_size + 0xfff) & ~0xfffu;
  };
  add(".text", std::vector<uint8_t>(0x180, 0xc3), 0x60000020, -1);
  if (!o.exports.empty() || !o.imports.empty() || !o.delay_imports.empty()) {
    DataDirectory exports, imports, delay;
    add(".link", linking_tables(o, va, &exports, &imports, &delay), 0x40000040, -1);
    for (auto [slot, d] :
         {std::pair{kDirExport, exports}, std::pair{kDirImport, imports}, std::pair{kDirDelayImport, delay}})
      if (d.virtual_address) dirs.push_back({slot, d});
  }
  if (!o.raw_resources.empty())
    add(".rsrc", o.raw_resources, 0x40000040, 2);
  else if (o.resources)
    add(".rsrc", build_resource_section(*o.resources, va).value(), 0x40000040, 2);
  if (o.reloc) add(".reloc", kRelocBlock, 0x42000040, 5);
  if (o.data_after) add(".idata", std::vector<uint8_t>(0x40, 7), 0xc0000040, 1);
  const uint32_t sections_end = static_cast<uint32_t>(f.size());
  f.insert(f.end(), o.overlay.begin(), o.overlay.end());
  if (!o.certificate.empty()) {
    dirs.push_back({kDirSecurity, {static_cast<uint32_t>(f.size()), static_cast<uint32_t>(o.certificate.size())}});
    f.insert(f.end(), o.certificate.begin(), o.certificate.end());
  }
  f[0] = 'M', f[1] = 'Z';
  put_u32(f, 0x3c, kLfanew);
  put_u32(f, kLfanew, 0x4550);
  put_u16(f, kFileHeader, o.pe32 ? 0x14c : 0x8664);
  put_u16(f, kFileHeader + 2, static_cast<uint16_t>(secs.size()));
  if (o.symbols) put_u32(f, kFileHeader + 8, sections_end);
  put_u16(f, kFileHeader + 16, o.pe32 ? 224 : 240);
  put_u16(f, kFileHeader + 18, static_cast<uint16_t>(0x0022 | (o.dll ? 0x2000 : 0)));  // executable, large address
  put_u16(f, kOpt, o.pe32 ? 0x10b : 0x20b);
  put_u32(f, kOpt + 8, 0x800);    // SizeOfInitializedData
  put_u32(f, kOpt + 16, 0x1000);  // entry point, in .text
  put_u32(f, kOpt + 32, 0x1000);  // SectionAlignment
  put_u32(f, kOpt + 36, 0x200);   // FileAlignment
  put_u32(f, kOpt + kSizeOfImage, va);
  put_u32(f, kOpt + 60, 0x400);  // SizeOfHeaders
  put_u16(f, kOpt + 68, 2);      // GUI
  const size_t dir_at = kOpt + (o.pe32 ? 96 : 112);
  put_u32(f, dir_at - 4, 16);
  for (auto& [slot, d] : dirs) {
    put_u32(f, dir_at + 8 * slot, d.virtual_address);
    put_u32(f, dir_at + 8 * slot + 4, d.size);
  }
  const size_t table = kOpt + (o.pe32 ? 224 : 240);
  for (size_t i = 0; i < secs.size(); ++i) {
    size_t at = table + 40 * i;
    std::copy_n(secs[i].name, 8, f.begin() + static_cast<std::ptrdiff_t>(at));
    put_u32(f, at + 8, secs[i].virtual_size);
    put_u32(f, at + 12, secs[i].virtual_address);
    put_u32(f, at + 16, secs[i].size_of_raw_data);
    put_u32(f, at + 20, secs[i].pointer_to_raw_data);
    put_u32(f, at + 36, secs[i].characteristics);
  }
  put_u32(f, kOpt + kCheckSum, pe_checksum(f, kOpt + kCheckSum));
  return f;
}

std::string synthetic_dll(const std::vector<std::string>& exports, const std::vector<std::string>& imports) {
  SyntheticImage shape;
  shape.dll = true;
  shape.exports = exports;
  shape.imports = imports;
  std::vector<uint8_t> bytes = make_synthetic_image(shape);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace vorbel::pe
