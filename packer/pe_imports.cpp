// Export and import tables of a PE image; see pe_imports.h. Every RVA is
// resolved through the section table and every count is bounded by the bytes
// that hold it, so a crafted image cannot make this read or allocate beyond it.
#include "packer/pe_imports.h"

#include <algorithm>
#include <optional>

#include "payload/pe_import_walk.h"

namespace vorbel::pe {
namespace {

// IMAGE_EXPORT_DIRECTORY, as far as read here.
constexpr size_t kExportDirectorySize = 40;
constexpr size_t kExportNumberOfNames = 24;
constexpr size_t kExportAddressOfNames = 32;

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

bool read_image(void* context, uint64_t offset, void* buffer, size_t size) {
  const std::vector<uint8_t>& file = static_cast<const Image*>(context)->file;
  if (offset > file.size() || file.size() - offset < size) return false;
  std::copy_n(file.begin() + static_cast<ptrdiff_t>(offset), size, static_cast<uint8_t*>(buffer));
  return true;
}

bool take_new_name(void* context, const char* name) {
  auto* dlls = static_cast<std::vector<std::string>*>(context);
  if (std::none_of(dlls->begin(), dlls->end(), [&](const std::string& d) { return same_ignoring_case(d, name); }))
    dlls->push_back(name);
  return true;
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

// The launcher's walk, over the bytes in memory: one reading of the tables for both.
Result<std::vector<std::string>> imported_dlls(const Image& image) {
  std::vector<std::string> dlls;
  PeFile file = {read_image, const_cast<Image*>(&image)};
  switch (walk_pe_imports(&file, take_new_name, &dlls)) {
    case PE_IMPORTS_WALKED:
    case PE_IMPORTS_STOPPED:
      return dlls;
    case PE_IMPORTS_NOT_PE:
      return fail("no PE image");
    case PE_IMPORTS_DAMAGED:
      break;
  }
  return fail("an import table or a DLL name in it lies outside the image's sections");
}

}  // namespace vorbel::pe
