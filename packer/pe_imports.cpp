// Export and import tables of a PE image; see pe_imports.h. Every RVA is
// resolved through the section table and every count is bounded by the bytes
// that hold it, so a crafted image cannot make this read or allocate beyond it.
#include "packer/pe_imports.h"

#include <algorithm>
#include <optional>
#include <tuple>

namespace vorbel::pe {
namespace {

// IMAGE_EXPORT_DIRECTORY, as far as read here.
constexpr size_t kExportDirectorySize = 40;
constexpr size_t kExportNumberOfNames = 24;
constexpr size_t kExportAddressOfNames = 32;

// IMAGE_IMPORT_DESCRIPTOR and the delay-load descriptor: size and the offset
// of the DLL name's RVA.
constexpr size_t kImportDescriptorSize = 20, kImportName = 12;
constexpr size_t kDelayDescriptorSize = 32, kDelayName = 4;

// A linker never writes names this long; a longer run of bytes is no name.
constexpr size_t kMaxName = 4096;

Error fail(std::string message) { return Error{std::move(message)}; }

std::optional<std::string> name_at(const Image& image, uint64_t rva) {
  std::span<const uint8_t> bytes = bytes_from_rva(image, rva);
  std::string name;
  for (uint8_t b : bytes.first(std::min(bytes.size(), kMaxName))) {
    if (b == 0) return name;
    name += static_cast<char>(b);
  }
  return std::nullopt;
}

bool same_ignoring_case(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

// Walks a zero-terminated descriptor table and collects the names it points at.
Result<bool> collect(const Image& image, size_t slot, size_t descriptor_size, size_t name_field, const char* what,
                     std::vector<std::string>* dlls) {
  DataDirectory table = directory_of(image, slot);
  if (table.virtual_address == 0) return true;
  std::span<const uint8_t> bytes = bytes_from_rva(image, table.virtual_address);
  for (size_t at = 0;; at += descriptor_size) {
    if (at + descriptor_size > bytes.size()) return fail(std::string(what) + " table runs past its section");
    uint32_t name_rva = get_u32(bytes, at + name_field);
    if (name_rva == 0) return true;
    auto name = name_at(image, name_rva);
    if (!name || name->empty()) return fail(std::string(what) + " table names a DLL outside the image");
    if (std::none_of(dlls->begin(), dlls->end(), [&](const std::string& d) { return same_ignoring_case(d, *name); }))
      dlls->push_back(std::move(*name));
  }
}

}  // namespace

Result<std::vector<std::string>> export_names(const Image& image) {
  std::vector<std::string> names;
  DataDirectory table = directory_of(image, kDirExport);
  if (table.virtual_address == 0) return names;
  std::span<const uint8_t> directory = bytes_from_rva(image, table.virtual_address);
  if (directory.size() < kExportDirectorySize) return fail("export directory lies outside the image");
  uint32_t count = get_u32(directory, kExportNumberOfNames);
  std::span<const uint8_t> pointers = bytes_from_rva(image, get_u32(directory, kExportAddressOfNames));
  if (count > pointers.size() / 4) return fail("export name table lies outside the image");
  for (uint32_t i = 0; i < count; ++i) {
    auto name = name_at(image, get_u32(pointers, 4 * size_t{i}));
    if (!name) return fail("export name " + std::to_string(i) + " lies outside the image");
    names.push_back(std::move(*name));
  }
  return names;
}

Result<std::vector<std::string>> imported_dlls(const Image& image) {
  std::vector<std::string> dlls;
  for (auto [slot, size, field, what] :
       {std::tuple{kDirImport, kImportDescriptorSize, kImportName, "import"},
        std::tuple{kDirDelayImport, kDelayDescriptorSize, kDelayName, "delay-import"}}) {
    auto read = collect(image, slot, size, field, what, &dlls);
    if (!read.ok()) return fail(read.error());
  }
  return dlls;
}

}  // namespace vorbel::pe
